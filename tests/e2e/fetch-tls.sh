#!/usr/bin/env bash
# Fetches from the upstream INN over TLS from the first byte (nnrpd -S on a
# port of its own), with the upstream's certificate checked against the
# test CA, as fetch-incoming.sh fetches in plain text: every article
# delivered once, bodies unchanged.
source "$(dirname "$0")/lib.sh"
tls_e2e_start --tls
FETCH_PORT=$(tls_daemon 127.0.0.1)
note "nnrpd speaks TLS on 127.0.0.1:$FETCH_PORT"
fetch_scenario incoming 'leaf.example!tessu!up.example!elsewhere.example!' \
  --tls --tls-ca "$PKI/ca.pem"
check_tls_reported

note "by host name: the name is checked against the certificate's names"
if private_hosts_work; then
  printf '127.0.0.1 localhost\n' >"$WORK/hosts"
  upstream_articles a4:test.a b3:test.b
  PRIVATE_HOSTS=$WORK/hosts run_tessu $(leaf_options) -d --no-post --tls --tls-ca "$PKI/ca.pem" \
    up localhost "$FETCH_PORT"
  expect_stat fetc 2
  check_tls_reported
  deliver incoming
  check_leaf_mirrors_upstream 'leaf.example!tessu!up.example!elsewhere.example!'
else
  note "left out: this machine cannot give tessu a private /etc/hosts (unshare --mount)"
fi
echo PASS
