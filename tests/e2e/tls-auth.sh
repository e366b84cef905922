#!/usr/bin/env bash
# An upstream whose readers must authenticate (AUTHINFO USER and PASS,
# checked by INN's ckpasswd): over TLS tessu sends the password and fetches;
# when STARTTLS was asked for and the server answers it with 580, the run
# ends and no AUTHINFO goes out in plain text, with "if offered" too.
source "$(dirname "$0")/lib.sh"
tls_e2e_start --tls
secret=e2e-not-so-secret
printf 'leaf:%s\n' "$(openssl passwd -1 "$secret")" >"$UP/etc/readers.passwd"
chown news:news "$UP/etc/readers.passwd"
cat >"$UP/etc/readers.conf" <<CONF
auth "readers" {
    hosts: "*"
    auth: "ckpasswd -f $UP/etc/readers.passwd"
}
access "readers" {
    users: "leaf"
    newsgroups: "*"
    access: R
}
CONF
printf 'leaf %s\n' "$secret" >"$WORK/auth"
port=$(tls_daemon 127.0.0.1)
upstream_articles a1:test.a a2:test.a b1:test.b ab1:test.a,test.b
# -d three times: the trace shows every command (a password never).
options=($(leaf_options) -d -d -d --no-post --auth "$WORK/auth")

no_password_sent() {
  ! grep -q -E '^(tessu: )?-> ?AUTHINFO' "$TESSU_LOG" || fail "tessu sent AUTHINFO without TLS"
  ! grep -q -F "$secret" "$TESSU_LOG" || fail "the password is in tessu's output"
}

note "over TLS: authenticated, fetched"
run_tessu "${options[@]}" --tls --tls-ca "$PKI/ca.pem" up 127.0.0.1 "$port"
grep -q -E '^(tessu: )?-> ?AUTHINFO USER leaf' "$TESSU_LOG" || fail "tessu did not authenticate"
! grep -q -F "$secret" "$TESSU_LOG" || fail "the password is in tessu's output"
expect_stat fetc 4
deliver incoming
check_leaf_mirrors_upstream 'leaf.example!tessu!up.example!elsewhere.example!'

note "STARTTLS answered with 580: no password in plain text"
# The nnrpd that innd starts reads inn.conf anew for each reader: without a
# certificate it still lists STARTTLS and then refuses it. (The daemon
# started above keeps what it read.)
sed -i -E '/^tls(cafile|certfile|keyfile):/d' "$UP/etc/inn.conf"
upstream_articles a3:test.a
run_tessu_refused 3 "580" "${options[@]}" --starttls up 127.0.0.1 "$UP_PORT"
no_password_sent
status=0
(cd "$WORK" && env INNCONF="$LEAF/etc/inn.conf" "$TESSU" "${options[@]}" --starttls-if-offered \
  up 127.0.0.1 "$UP_PORT") </dev/null >"$WORK/if-offered.log" 2>&1 || status=$?
TESSU_LOG=$WORK/if-offered.log
[ "$status" != 0 ] || { cat "$TESSU_LOG" >&2; fail "--starttls-if-offered went on after STARTTLS failed"; }
no_password_sent
note "--starttls-if-offered ended with status $status: $(grep -m 1 -E '580|AUTHINFO|authent' "$TESSU_LOG")"
[ "$(incoming_batches)" = 0 ] || fail "a refused run left a batch"
echo PASS
