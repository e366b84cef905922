#!/usr/bin/env bash
# Fetches with COMPRESS DEFLATE, which Debian's nnrpd (built with zlib) lists
# in CAPABILITIES before any authentication: every article delivered once,
# bodies unchanged, as in plain text; then once more over TLS with
# compression on top of it.
source "$(dirname "$0")/lib.sh"
tls_e2e_start --compress
capabilities=$(upstream_capabilities)
grep -q -x "COMPRESS DEFLATE" <<<"$capabilities" \
  || skip "the upstream's nnrpd does not list COMPRESS DEFLATE, only: $(echo $capabilities)"

# The last run got nnrpd's 206: from there on both directions were deflate
# streams, so the articles came through only if tessu compressed too.
check_compressed() {
  grep -q -E '(^|<- ?)206 ' "$TESSU_LOG" || {
    cat "$TESSU_LOG" >&2
    fail "tessu did not get COMPRESS DEFLATE going (no 206 reply)"
  }
}

prefix='leaf.example!tessu!up.example!elsewhere.example!'
# -d three times (fetch_scenario gives one) shows the server's replies.
fetch_scenario incoming "$prefix" --compress -d -d
check_compressed

if "$TESSU" --tls --version 2>&1 | grep -q '^tessu version'; then
  note "compressed over TLS"
  port=$(tls_daemon 127.0.0.1)
  upstream_articles a4:test.a b3:test.b ab3:test.a,test.b c3:test.c
  run_tessu $(leaf_options) -d --no-post --compress -d -d --tls --tls-ca "$PKI/ca.pem" \
    up 127.0.0.1 "$port"
  expect_stat fetc 3
  check_compressed
  check_tls_reported
  deliver incoming
  check_leaf_mirrors_upstream "$prefix"
  check_host_active
fi
echo PASS
