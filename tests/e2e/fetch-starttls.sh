#!/usr/bin/env bash
# Fetches from the upstream INN on its plain port, where the nnrpd that innd
# starts for a reader offers STARTTLS: tessu upgrades the connection with
# --starttls and checks the certificate against the test CA. Every article
# is delivered once, bodies unchanged.
source "$(dirname "$0")/lib.sh"
tls_e2e_start --starttls
grep -q -x STARTTLS <<<"$(upstream_capabilities)" || fail "the upstream's nnrpd does not list STARTTLS"
fetch_scenario incoming 'leaf.example!tessu!up.example!elsewhere.example!' \
  --starttls --tls-ca "$PKI/ca.pem"
check_tls_reported
echo PASS
