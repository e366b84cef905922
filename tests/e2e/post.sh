#!/usr/bin/env bash
# Posts what local users posted at the leaf, queued by the leaf's INN for the
# upstream, to the upstream with POST. tessu takes the batch over with the
# leaf's real ctlinnd ("flush"); afterwards the upstream holds the articles
# and nothing is left in the leaf's batch.
source "$(dirname "$0")/lib.sh"
e2e_create
leaf_newsfeeds up.example
e2e_start

leaf_posts l1:test.b l2:test.a,test.local l3:test.a,test.b
queue_for_upstream
[ "$(outgoing_entries)" = 3 ] || fail "the leaf queued $(outgoing_entries) articles, expected 3"

run_tessu $(leaf_options) -d --no-fetch --log "$WORK/posted.log" up 127.0.0.1 "$UP_PORT"
expect_stat post 3
expect_stat fail 0
check_upstream_has l1:test.b l2:test.a l3:test.a,test.b
[ "$(outgoing_entries)" = 0 ] || fail "entries are left in the leaf's batch: $(cat "$LEAF"/spool/outgoing/up*)"
[ "$(log_count "$WORK/posted.log" OK)" = 3 ] || fail "the log does not show 3 articles posted: $(cat "$WORK/posted.log")"

note "a second run has nothing to post"
queue_for_upstream
[ "$(outgoing_entries)" = 0 ] || fail "the leaf queued posted articles again"
run_tessu $(leaf_options) -d --no-fetch up 127.0.0.1 "$UP_PORT"
echo PASS
