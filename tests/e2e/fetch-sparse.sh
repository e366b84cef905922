#!/usr/bin/env bash
# Fetches a group whose numbers are far more than its articles, so that
# tessu finds them with NEXT after the first STAT, against nnrpd's own NEXT
# and current article: two wanted articles, a gap, a run of articles tessu
# refuses as fake, and a wanted tail right behind them. The ARTICLE commands
# for the first two go out while NEXT commands are still in flight and take
# nnrpd's current article back; every wanted article must still come over
# once, and the host active file must record one more than the last.
source "$(dirname "$0")/lib.sh"
FETCHED_GROUPS="test.a"
e2e_create
leaf_newsfeeds tessu
e2e_start

upstream_articles w1:test.a w2:test.a

note "the upstream's next article in test.a gets number 20001"
inn "$UP" "$NEWSBIN/ctlinnd" -s pause sparse || fail "cannot pause the upstream"
sed -i -E 's/^test\.a [0-9]+ /test.a 0000020000 /' "$UP/db/active"
inn "$UP" "$NEWSBIN/ctlinnd" -s reload active sparse || fail "cannot reload the upstream's active file"
inn "$UP" "$NEWSBIN/ctlinnd" -s go sparse || fail "cannot restart the upstream"

# Thirty articles with message IDs of the form tessu takes as fake, then
# the wanted tail.
dir=$WORK/fakes
mkdir -p "$dir"
: >"$dir/batch"
for n in $(seq 1 30); do
  make_article "$dir/a" "x$n" test.a "fake $n"
  sed -i -E "s/^Message-ID: .*/Message-ID: <fake@$n.e2e.example>/" "$dir/a"
  printf '#! rnews %d\n' "$(wc -c <"$dir/a")" >>"$dir/batch"
  cat "$dir/a" >>"$dir/batch"
done
inn "$UP" "$NEWSBIN/rnews" <"$dir/batch" || fail "rnews of the fake articles failed"
has_id "$UP" "<fake@30.e2e.example>" || fail "the upstream did not take the fake articles"
upstream_articles t1:test.a t2:test.a t3:test.a t4:test.a t5:test.a

high=$(awk '$1 == "test.a" { print $2 + 0 }' "$UP/db/active")
[ "$high" = 20035 ] || fail "test.a ends at $high upstream, expected 20035"

# The fakes stay behind; the leaf's rnews refuses the second run's copies.
wanted=$(printf '<%s@e2e.example>\n' t1 t2 t3 t4 t5 w1 w2 | sort | tr '\n' ' ')
for window in 10 1000; do
  note "fetch with --window $window"
  printf 'test.a 1\ntest.b 1\n' >"$LEAF/spool/inhosts/up"
  chown news:news "$LEAF/spool/inhosts/up"
  run_tessu $(leaf_options) -d -d -d --no-post --window "$window" up 127.0.0.1 "$UP_PORT"
  grep -q -E '(^|>) ?NEXT$' "$TESSU_LOG" || {
    cat "$TESSU_LOG" >&2
    fail "tessu did not walk test.a with NEXT"
  }
  expect_stat fetc 7
  check_host_active
  deliver incoming
  held=$(spool_index "$LEAF" | awk 'NF { print $1 }' | sort | tr '\n' ' ')
  [ "$held" = "$wanted" ] || fail "the leaf holds $held, expected $wanted"
done
echo PASS
