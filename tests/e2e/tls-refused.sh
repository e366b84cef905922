#!/usr/bin/env bash
# A certificate that does not carry the name tessu was given, or that no CA
# tessu trusts has signed, ends the run before any article moves: status 3
# and OpenSSL's reason in the message. --tls-insecure then fetches anyway
# and says every time that the certificate was not verified. A server that
# refuses STARTTLS ends the run too, with nothing sent in plain text.
source "$(dirname "$0")/lib.sh"
tls_e2e_start --tls
# The certificate is for 127.0.0.1 and "localhost"; the same nnrpd is also
# reached as 127.0.0.2, a name it does not carry.
port=$(tls_daemon 127.0.0.1)
other_port=$(tls_daemon 127.0.0.2)
upstream_articles a1:test.a a2:test.a b1:test.b ab1:test.a,test.b
options=($(leaf_options) -d --no-post)

nothing_moved() {
  [ "$(incoming_batches)" = 0 ] || fail "a refused run left a batch"
  [ ! -e "$LEAF/spool/inhosts/up" ] || fail "a refused run wrote the host active file"
}

note "an address the certificate does not carry"
run_tessu_refused 3 "IP address mismatch" "${options[@]}" --tls --tls-ca "$PKI/ca.pem" up 127.0.0.2 "$other_port"
nothing_moved

note "a host name the certificate does not carry"
if private_hosts_work; then
  printf '127.0.0.1 localhost\n127.0.0.1 news.e2e.invalid\n' >"$WORK/hosts"
  PRIVATE_HOSTS=$WORK/hosts run_tessu_refused 3 "hostname mismatch" \
    "${options[@]}" --tls --tls-ca "$PKI/ca.pem" up news.e2e.invalid "$port"
  nothing_moved
else
  note "left out: this machine cannot give tessu a private /etc/hosts (unshare --mount)"
fi

note "a CA tessu is not told to trust, and the system's CA store"
# nnrpd sends its CA along with its certificate (inn.conf's tlscafile), so
# OpenSSL finds a chain that ends in a CA it was not told to trust.
run_tessu_refused 3 "self-signed certificate in certificate chain" \
  "${options[@]}" --tls --tls-ca "$PKI/other-ca.pem" up 127.0.0.1 "$port"
nothing_moved
run_tessu_refused 3 "self-signed certificate in certificate chain" "${options[@]}" --tls up 127.0.0.1 "$port"
nothing_moved
run_tessu_refused 3 "self-signed certificate in certificate chain" \
  "${options[@]}" --starttls --tls-ca "$PKI/other-ca.pem" up 127.0.0.1 "$UP_PORT"
nothing_moved

note "STARTTLS offered but refused: no fallback to plain text"
# The leaf's nnrpd lists STARTTLS too but has no certificate: it answers 580.
run_tessu_refused 3 "580" "${options[@]}" --starttls up 127.0.0.1 "$LEAF_PORT"
nothing_moved

note "--tls-insecure with both faults"
run_tessu "${options[@]}" --tls --tls-insecure --tls-ca "$PKI/other-ca.pem" up 127.0.0.2 "$other_port"
grep -q -F "certificate not verified" "$TESSU_LOG" || {
  cat "$TESSU_LOG" >&2
  fail "--tls-insecure did not warn that the certificate was not verified"
}
check_tls_reported
expect_stat fetc 4
deliver incoming
check_leaf_mirrors_upstream 'leaf.example!tessu!up.example!elsewhere.example!'
check_host_active

note "the warning comes on every run, also when nothing is new"
run_tessu "${options[@]}" --tls --tls-insecure up 127.0.0.2 "$other_port"
grep -q -F "certificate not verified" "$TESSU_LOG" || fail "the second --tls-insecure run did not warn"
expect_stat fetc 0
echo PASS
