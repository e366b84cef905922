#!/usr/bin/env bash
# One whole run with IHAVE: the upstream takes this machine as a peer, so
# tessu offers the leaf's queued articles to innd itself (their Path goes
# along), then switches to reading with MODE READER and fetches. The batch
# holds names relative to the article spool (--spool).
source "$(dirname "$0")/lib.sh"
e2e_create
leaf_newsfeeds up.example
upstream_peers_leaf
e2e_start

upstream_articles a1:test.a b1:test.b ab1:test.a,test.b
leaf_posts l1:test.b l2:test.a,test.local l3:test.a,test.b
queue_for_upstream relative
[ "$(outgoing_entries)" = 3 ] || fail "the leaf queued $(outgoing_entries) articles, expected 3"
! grep -q '^/' "$LEAF/spool/outgoing/up" || fail "the batch should hold relative names"

run_tessu $(leaf_options) -d --ihave --log "$WORK/posted.log" up 127.0.0.1 "$UP_PORT"
expect_stat post 3
expect_stat fail 0
check_upstream_has l1:test.b l2:test.a l3:test.a,test.b
for id in l1 l2 l3; do
  file=$(article_file "$UP" "<$id@e2e.example>")
  case "$(header_of Path "$file")" in
    'up.example!leaf.example!'*) ;;
    *) fail "IHAVE did not keep the Path of $id: $(header_of Path "$file")" ;;
  esac
done
[ "$(outgoing_entries)" = 0 ] || fail "entries are left in the leaf's batch: $(cat "$LEAF"/spool/outgoing/up*)"
[ "$(log_count "$WORK/posted.log" OK)" = 3 ] || fail "the log does not show 3 articles posted: $(cat "$WORK/posted.log")"

# The same run fetched the upstream's articles, and the leaf's own came back
# (the leaf's innd refuses them as duplicates).
expect_stat fetc 6 # a1 b1 ab1 l1 l2 l3
leaf_rnews_incoming
LOCAL_IDS="<l1@e2e.example> <l2@e2e.example> <l3@e2e.example>"
check_leaf_mirrors_upstream 'leaf.example!up.example!elsewhere.example!'
check_nothing_queued_back
echo PASS
