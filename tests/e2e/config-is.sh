#!/usr/bin/env bash
# A whole run (post, then fetch) whose site paths come only from the leaf's
# own innshellvars, read with --config-is: a copy of INN's innshellvars whose
# innconfval call reads the leaf's inn.conf. ctlinnd, found through NEWSBIN,
# finds the leaf's innd through INNCONF in tessu's environment.
source "$(dirname "$0")/lib.sh"
e2e_create
leaf_newsfeeds up.example
leaf_innshellvars
e2e_start

upstream_articles a1:test.a b1:test.b ab1:test.a,test.b
leaf_posts l1:test.b
queue_for_upstream

run_tessu -d --config-is "$LEAF/etc/innshellvars" --stat "$STAT" up 127.0.0.1 "$UP_PORT"
expect_stat post 1
check_upstream_has l1:test.b
[ "$(outgoing_entries)" = 0 ] || fail "entries are left in the leaf's batch"
expect_stat fetc 4 # a1 b1 ab1, and l1 back again
[ -f "$LEAF/spool/inhosts/up" ] || fail "no host active file in the leaf's spool/inhosts"
[ -z "$(find "$LEAF/run" -name 'LOCK*')" ] || fail "locks are left in the leaf's run directory"
leaf_rnews_incoming
LOCAL_IDS="<l1@e2e.example>"
check_leaf_mirrors_upstream 'leaf.example!up.example!elsewhere.example!'
check_host_active
echo PASS
