# Shared pieces of the end-to-end tests, sourced by each test script.
#
# A test gets a fresh pair of private INN instances below one directory in
# /tmp: UP, the upstream server tessu talks to, and LEAF, the leaf site's own
# news system that tessu feeds. Both listen on 127.0.0.1 on ports chosen at
# run time. Everything is stopped and removed when the script exits, whether
# the test passed or not.
#
# A test script is run as `bash SCRIPT TESSU-BINARY` and exits 0 (passed),
# 77 (skipped: not root, or inn2 not installed) or anything else (failed).

set -euo pipefail

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
INN_INSTANCE=$E2E_DIR/inn-instance
NEWSBIN=/usr/lib/news/bin

# Groups of the two sites. The leaf carries test.a, test.b and test.c but its
# newsfeeds entry for the upstream leaves test.c out; test.x exists only
# upstream, test.local only at the leaf.
UP_GROUPS="test.a test.b test.c test.x"
LEAF_GROUPS="test.a test.b test.c test.local"
FETCHED_GROUPS="test.a test.b"

skip() {
  echo "SKIP: $*"
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

note() { echo "--- $*"; }

# Skips the test on machines where it cannot run.
e2e_require() {
  [ "$(id -u)" = 0 ] || skip "needs root (innd is started as root and runs as news)"
  [ -x "$NEWSBIN/innd" ] && [ -x "$NEWSBIN/rnews" ] && [ -x "$NEWSBIN/ctlinnd" ] \
    || skip "inn2 is not installed (scripts/install-deps installs it)"
  getent passwd news >/dev/null || skip "there is no user news"
  command -v runuser >/dev/null || skip "runuser is missing"
}

TESSU=${1:-}
[ -n "$TESSU" ] && [ -x "$TESSU" ] || {
  echo "usage: $0 TESSU-BINARY" >&2
  exit 2
}
TESSU=$(cd "$(dirname "$TESSU")" && pwd)/$(basename "$TESSU")

e2e_cleanup() {
  local status=$?
  set +e
  if [ -n "${WORK:-}" ] && [ -d "$WORK" ]; then
    "$INN_INSTANCE" stop "$WORK/up" &
    "$INN_INSTANCE" stop "$WORK/leaf" &
    wait
    if [ "$status" != 0 ] && [ "$status" != 77 ] && [ -n "${E2E_KEEP:-}" ]; then
      echo "kept $WORK for inspection (innd stopped)" >&2
    else
      rm -rf "$WORK"
    fi
  fi
  exit "$status"
}

# A port on 127.0.0.1 that nothing listens on now.
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 30000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  fail "no free port found"
}

port_of() { awk '$1 == "port:" { print $2 }' "$1/etc/inn.conf"; }

# inn DIR COMMAND...: runs an INN program for the instance in DIR.
inn() {
  local dir=$1
  shift
  env INNCONF="$dir/etc/inn.conf" "$@"
}

# Makes both instances (not started yet): the test may change their
# configuration before e2e_start.
e2e_create() {
  e2e_require
  WORK=$(mktemp -d /tmp/tessu-e2e.XXXXXX)
  chmod 755 "$WORK"
  trap e2e_cleanup EXIT
  trap 'exit 1' INT TERM HUP
  UP=$WORK/up
  LEAF=$WORK/leaf
  mkdir -p "$UP/etc" "$LEAF/etc"
  printf '%s\n' $UP_GROUPS >"$UP/etc/groups"
  printf '%s\n' $LEAF_GROUPS >"$LEAF/etc/groups"
  local up_port leaf_port up_pid
  up_port=$(free_port)
  leaf_port=$(free_port)
  [ "$up_port" != "$leaf_port" ] || leaf_port=$(free_port)
  "$INN_INSTANCE" create "$UP" up.example "$up_port" &
  up_pid=$!
  "$INN_INSTANCE" create "$LEAF" leaf.example "$leaf_port" || fail "cannot create the leaf instance"
  wait "$up_pid" || fail "cannot create the upstream instance"
  # Where tessu keeps its host active files at the leaf.
  mkdir -p "$LEAF/spool/inhosts"
  chown news:news "$LEAF/spool/inhosts"
  STAT=$WORK/stat
  RUNS=0
}

# Starts one instance; when its port was taken in the meantime, moves it to
# another one.
start_instance() {
  local dir=$1 port
  for _ in 1 2 3; do
    chown -R news:news "$dir/etc"
    if "$INN_INSTANCE" start "$dir"; then
      return 0
    fi
    "$INN_INSTANCE" stop "$dir"
    port=$(free_port)
    sed -i -E "s/^(port|nnrpdpostport):.*/\\1: $port/" "$dir/etc/inn.conf"
  done
  fail "innd in $dir did not start"
}

e2e_start() {
  start_instance "$UP"
  start_instance "$LEAF"
  UP_PORT=$(port_of "$UP")
  LEAF_PORT=$(port_of "$LEAF")
  note "upstream on 127.0.0.1:$UP_PORT, leaf on 127.0.0.1:$LEAF_PORT, in $WORK"
}

# The leaf's newsfeeds: its own entry and the entry of the upstream, whose
# spool name is "up". innd itself writes storage tokens for that feed to
# up.tokens; queue_for_upstream turns them into the file names tessu reads
# from the batch file "up".
leaf_newsfeeds() {
  local excluded=$1
  cat >"$LEAF/etc/newsfeeds" <<EOF
ME:*,!junk,!control*::
up/$excluded:*,!test.c,!junk,!control*:Tf,Wn:up.tokens
EOF
}

# The upstream takes IHAVE from this machine: 127.0.0.1 becomes a peer.
upstream_peers_leaf() {
  cat >"$UP/etc/incoming.conf" <<'EOF'
peer leaf {
    hostname: "127.0.0.1"
}
EOF
}

# make_article FILE ID GROUPS SUBJECT [BODY]: an article as a poster or a
# peer would hand it to INN (LF line ends). The body has a line that starts
# with a dot, to see the dot-stuffing undone on every way.
make_article() {
  local file=$1 id=$2 groups=$3 subject=$4
  local body=${5:-"Text of $id."}
  {
    printf 'Path: elsewhere.example!not-for-mail\n'
    printf 'From: Poster <poster@example.invalid>\n'
    printf 'Newsgroups: %s\n' "$groups"
    printf 'Subject: %s\n' "$subject"
    printf 'Date: %s\n' "$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S +0000')"
    printf 'Message-ID: <%s@e2e.example>\n' "$id"
    printf '\n%s\n.a line with a leading dot\n..and one with two\nlast line\n' "$body"
  } >"$file"
}

# upstream_articles ID:GROUPS...: puts articles into the upstream as if a
# peer had sent them (rnews, which reaches innd on its local socket).
upstream_articles() {
  local id_groups id groups dir=$WORK/new-up
  mkdir -p "$dir"
  : >"$dir/batch"
  for id_groups in "$@"; do
    id=${id_groups%%:*}
    groups=${id_groups#*:}
    make_article "$dir/$id" "$id" "$groups" "upstream article $id"
    printf '#! rnews %d\n' "$(wc -c <"$dir/$id")" >>"$dir/batch"
    cat "$dir/$id" >>"$dir/batch"
  done
  inn "$UP" "$NEWSBIN/rnews" <"$dir/batch" || fail "rnews into the upstream failed"
  rm -rf "$dir"
  for id_groups in "$@"; do
    id=${id_groups%%:*}
    has_id "$UP" "<$id@e2e.example>" || fail "the upstream did not take <$id@e2e.example>"
  done
}

# leaf_posts ID:GROUPS...: local users post at the leaf, through its nnrpd
# (inews), as they would with a newsreader.
leaf_posts() {
  local id_groups id groups file=$WORK/local-article
  for id_groups in "$@"; do
    id=${id_groups%%:*}
    groups=${id_groups#*:}
    make_article "$file" "$id" "$groups" "local article $id" "Posted at the leaf."
    # inews adds its own Path; a Path from the poster would be kept.
    sed -i '/^Path:/d' "$file"
    inn "$LEAF" "$NEWSBIN/inews" -h -p "$LEAF_PORT" <"$file" \
      || fail "inews at the leaf refused $id"
    has_id "$LEAF" "<$id@e2e.example>" || fail "the leaf did not store <$id@e2e.example>"
  done
  rm -f "$file"
}

# How a site with INN 2.7 can give tessu file names instead of the storage
# tokens tessu reads itself (the README shows it for --no-storage-api):
# innd's file feed writes storage tokens to up.tokens; move that file aside,
# have innd start a new one, and append the article files of the tokens
# (tradspool) to the batch file tessu reads. With "relative", the names are
# written relative to the article spool, as older INN versions wrote them
# (tessu then needs --spool).
queue_for_upstream() {
  local out=$LEAF/spool/outgoing strip=
  [ "${1:-}" = relative ] && strip="$LEAF/spool/articles/"
  [ -f "$out/up.tokens" ] || return 0
  mv "$out/up.tokens" "$out/up.tokens.work"
  inn "$LEAF" "$NEWSBIN/ctlinnd" -s flush up
  inn "$LEAF" "$NEWSBIN/sm" -c <"$out/up.tokens.work" | sed -n 's/^@[^ ]*@ .* file=//p' \
    | awk -v strip="$strip" '{ if (strip != "" && index($0, strip) == 1) $0 = substr($0, length(strip) + 1); print }' \
      >>"$out/up"
  rm -f "$out/up.tokens.work"
  chown news:news "$out/up"
}

# The leaf's own innshellvars, as a site gives it to tessu with --config or
# --config-is: a copy of INN's whose innconfval call reads the leaf's inn.conf.
leaf_innshellvars() {
  sed 's|^eval \$(\${exec_prefix}/bin/innconfval -s)$|eval $(INNCONF='"$LEAF"'/etc/inn.conf ${exec_prefix}/bin/innconfval -s)|' \
    /usr/lib/news/innshellvars >"$LEAF/etc/innshellvars"
  grep -q "INNCONF=$LEAF/etc/inn.conf" "$LEAF/etc/innshellvars" \
    || fail "innshellvars has no line 'eval \$(\${exec_prefix}/bin/innconfval -s)' to point at the leaf"
}

# storage_post_scenario METHOD [WIREFORMAT]: the leaf stores its articles
# with METHOD (and the wireformat setting given, false by default), and its
# newsfeeds entry for the upstream is a plain file feed of storage tokens,
# written by innd straight into the batch file tessu reads. tessu, given the
# leaf's innshellvars, reads each article through INN's sm: no "sm -c" step,
# whatever the method.
storage_post_scenario() {
  local method=$1 wireformat=${2:-false} batch token
  e2e_create
  "$INN_INSTANCE" storage "$LEAF" "$method"
  sed -i -E "s/^wireformat:.*/wireformat: $wireformat/" "$LEAF/etc/inn.conf"
  leaf_innshellvars
  printf '%s\n' 'ME:*,!junk,!control*::' 'up/up.example:*,!test.c,!junk,!control*:Tf,Wn:' \
    >"$LEAF/etc/newsfeeds"
  e2e_start
  batch=$LEAF/spool/outgoing/up
  local options=(-d --no-fetch --config-is "$LEAF/etc/innshellvars" --stat "$STAT"
    --log "$WORK/posted.log" up 127.0.0.1 "$UP_PORT")

  leaf_posts l1:test.b l2:test.a,test.local l3:test.a,test.b
  [ "$method" = tradspool ] || [ -z "$(find "$LEAF/spool/articles" -path '*/test/*' -type f)" ] \
    || fail "the leaf stored article files: it does not use $method"
  [ "$wireformat" = false ] || grep -rq $'\r$' "$LEAF/spool/articles/test" \
    || fail "the leaf's article files have no CR LF line ends: wireformat is not in force"
  # Only to look at the batch: tessu has innd flush it itself.
  inn "$LEAF" "$NEWSBIN/ctlinnd" -s flush up
  [ "$(grep -c -E '^@[0-9A-F]{36}@$' "$batch")" = 3 ] \
    || fail "the leaf's batch does not hold 3 storage tokens: $(cat "$batch")"

  run_tessu "${options[@]}"
  expect_stat post 3
  expect_stat fail 0
  expect_stat miss 0
  check_upstream_has l1:test.b l2:test.a l3:test.a,test.b
  [ "$(outgoing_entries)" = 0 ] || fail "entries are left in the leaf's batch: $(cat "$LEAF"/spool/outgoing/up*)"
  [ "$(log_count "$WORK/posted.log" OK)" = 3 ] || fail "the log does not show 3 articles posted: $(cat "$WORK/posted.log")"
  grep -q -E "reading @[0-9A-F]{36}@ through sm" "$TESSU_LOG" || fail "tessu did not read through sm"

  note "a token of the leaf's storage method whose article the store does not hold is missing"
  token=$(stored_token "$LEAF" "<l1@e2e.example>")
  token=${token:0:5}FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF@ # the method's type and class, no article
  [ -z "$(inn "$LEAF" "$NEWSBIN/sm" -q "$token")" ] || fail "the leaf's sm finds an article for $token"
  echo "$token" >>"$batch"
  run_tessu "${options[@]}"
  expect_stat post 0
  expect_stat miss 1
  grep -q "can't find article \"$token\"" "$TESSU_LOG" || fail "tessu did not report $token missing"
  [ "$(log_count "$WORK/posted.log" Missing)" = 1 ] || fail "the log does not show the missing article"
  [ "$(outgoing_entries)" = 0 ] || fail "the missing article's entry is left in the batch"
}

# Checks the upstream holds the articles posted at the leaf, in the groups it
# carries, with their bodies unchanged: check_upstream_has ID:GROUPS...
# The leaf may store its articles with any storage method.
check_upstream_has() {
  local id_groups id groups up_index want got upfile
  up_index=$(spool_index "$UP")
  for id_groups in "$@"; do
    id="<${id_groups%%:*}@e2e.example>"
    groups=${id_groups#*:}
    want=$(echo "$groups" | tr , '\n' | sort | tr '\n' ' ')
    got=$(echo "$up_index" | awk -v id="$id" '$1 == id { print $2 }' | sort | tr '\n' ' ')
    [ "$want" = "$got" ] || fail "the upstream has $id in \"$got\", expected \"$want\""
    upfile=$(echo "$up_index" | awk -v id="$id" '$1 == id { print $3; exit }')
    [ "$(body_of <(stored_article "$LEAF" "$id"))" = "$(body_of "$upfile")" ] \
      || fail "the body of $id changed on its way up"
  done
  note "the upstream holds the $# articles posted at the leaf"
}

# Lines of the --log file whose status is the given one.
log_count() { awk -F '\t' -v status="$2" '$5 == status' "$1" | wc -l; }

# Lines "MESSAGE-ID GROUP FILE", one per stored article file of the test.*
# groups of an instance, sorted.
spool_index() {
  local root=$1/spool/articles
  [ -d "$root/test" ] || return 0
  find "$root/test" -type f -name '[0-9]*' -print0 | xargs -0 -r awk -v root="$root/" '
    FNR == 1 { in_header = 1 }
    in_header && /^$/ { in_header = 0 }
    in_header && tolower($0) ~ /^message-id:/ {
      id = $0
      sub(/^[^:]*:[ \t]*/, "", id)
      group = substr(FILENAME, length(root) + 1)
      sub(/\/[^\/]*$/, "", group)
      gsub(/\//, ".", group)
      print id, group, FILENAME
    }' | sort
}

# Pairs "MESSAGE-ID GROUP", one per stored article file of test.* groups.
spool_pairs() { spool_index "$1" | awk '{ print $1, $2 }'; }

header_of() {
  local name=$1 file=$2
  awk -v name="$name" \
    '/^$/ { exit } tolower($0) ~ "^" tolower(name) ":" { sub(/^[^:]*:[ \t]*/, ""); print; exit }' "$file"
}

body_of() { sed '1,/^$/d' "$1"; }

# The stored file of an article (any of its groups) in an instance.
article_file() {
  spool_index "$1" | awk -v id="$2" '$1 == id { print $3; found = 1; exit } END { exit !found }'
}

# The storage token of an article an instance stores, whatever its storage
# method: stored_token DIR MESSAGE-ID.
stored_token() { inn "$1" "$NEWSBIN/grephistory" -e "$2" 2>/dev/null | grep '^@'; }

# The text of an article as the instance stores it, read through sm.
stored_article() {
  local token
  token=$(stored_token "$1" "$2") || fail "$1 does not store $2"
  inn "$1" "$NEWSBIN/sm" "$token"
}

has_id() { article_file "$1" "$2" >/dev/null || stored_token "$1" "$2" >/dev/null; }

# Checks the leaf holds exactly the upstream's articles of the fetched
# groups, each filed once in every leaf group it names, with the same body,
# plus (optionally) the articles posted at the leaf, listed in LOCAL_IDS.
# PATH_PREFIX is what the Path of every fetched article must begin with.
check_leaf_mirrors_upstream() {
  local path_prefix=$1 up_index leaf_index fetched expected actual id file upfile
  up_index=$(spool_index "$UP")
  leaf_index=$(spool_index "$LEAF")
  fetched=$(echo "$up_index" | awk -v groups=" $FETCHED_GROUPS " 'index(groups, " " $2 " ") { print $1 }' | sort -u)
  expected=$( (
    echo "$up_index" | awk -v ids=" $(echo $fetched) " -v groups=" $LEAF_GROUPS " \
      'index(ids, " " $1 " ") && index(groups, " " $2 " ") { print $1, $2 }'
    for id in ${LOCAL_IDS:-}; do echo "$leaf_index" | awk -v id="$id" '$1 == id { print $1, $2 }'; done
  ) | sort -u)
  actual=$(echo "$leaf_index" | awk 'NF { print $1, $2 }')
  if [ "$expected" != "$actual" ]; then
    echo "expected at the leaf:" >&2
    echo "$expected" >&2
    echo "found at the leaf:" >&2
    echo "$actual" >&2
    fail "the leaf does not hold exactly the upstream's articles"
  fi
  for id in $fetched; do
    case " ${LOCAL_IDS:-} " in *" $id "*) continue ;; esac
    file=$(echo "$leaf_index" | awk -v id="$id" '$1 == id { print $3; exit }')
    upfile=$(echo "$up_index" | awk -v id="$id" '$1 == id { print $3; exit }')
    [ "$(body_of "$file")" = "$(body_of "$upfile")" ] || fail "the body of $id changed on its way"
    case "$(header_of Path "$file")" in
      "$path_prefix"*) ;;
      *) fail "Path of $id at the leaf is \"$(header_of Path "$file")\", expected it to begin with \"$path_prefix\"" ;;
    esac
  done
  note "the leaf holds the upstream's $(echo $fetched | wc -w) articles of $FETCHED_GROUPS, each once"
}

# run_tessu ARGS...: runs tessu for the spool "up" against the upstream,
# with the leaf's paths; its standard error goes to $WORK/tessu.N.log and is
# shown when it fails. PRIVATE_HOSTS: see private_hosts_work.
run_tessu() {
  RUNS=$((RUNS + 1))
  TESSU_LOG=$WORK/tessu.$RUNS.log
  local status=0 wrap=()
  [ -z "${PRIVATE_HOSTS:-}" ] || private_hosts_wrap
  (cd "$WORK" && env INNCONF="$LEAF/etc/inn.conf" "${wrap[@]}" "$TESSU" "$@") </dev/null >"$TESSU_LOG" 2>&1 \
    || status=$?
  if [ "$status" != 0 ]; then
    cat "$TESSU_LOG" >&2
    fail "tessu $* ended with status $status"
  fi
  note "tessu run $RUNS: $(grep -E '^(tessu: )?posted [0-9]+, fetched' "$TESSU_LOG" || echo 'no summary')"
}

# The leaf's site paths, as a site would put them in a profile.
leaf_options() {
  echo --inhosts "$LEAF/spool/inhosts" --incoming "$LEAF/spool/incoming" \
    --batch "$LEAF/spool/outgoing" --active "$LEAF/db/active" \
    --newsfeeds "$LEAF/etc/newsfeeds" --locks "$LEAF/run" \
    --spool "$LEAF/spool/articles" --ctlinnd "$NEWSBIN/ctlinnd" --stat "$STAT"
}

# A field of the last statistics record: post fetc dupl alre hist miss grps
# ua-g us-g grossbyt netbytes totaltim fail bnce.
stat_field() {
  local name=$1
  awk -v name="$name" '
    /^# / { for (i = 2; i <= NF; i++) col[$i] = i }
    /^N / { last = $0 }
    END { split(last, f, " "); print f[col[name]] }' "$STAT"
}

expect_stat() {
  local name=$1 want=$2 got
  got=$(stat_field "$name")
  [ "$got" = "$want" ] || fail "statistics field $name is $got, expected $want"
}

# The leaf takes the batches tessu left in its incoming spool.
leaf_rnews_incoming() {
  inn "$LEAF" "$NEWSBIN/rnews" -U || fail "rnews -U at the leaf failed"
  local left
  left=$(find "$LEAF/spool/incoming" -type f ! -name '.*' | head -5)
  [ -z "$left" ] || fail "rnews -U left batches behind: $left"
}

incoming_batches() { find "$LEAF/spool/incoming" -maxdepth 1 -type f ! -name '.*' | wc -l; }

# The outgoing batch tessu reads, with what a run leaves of it.
outgoing_entries() {
  cat "$LEAF/spool/outgoing/up" "$LEAF/spool/outgoing/up.togo" "$LEAF/spool/outgoing/up.retry" \
    2>/dev/null | grep -c . || true
}

# The leaf's innd queues nothing for the upstream that came from it.
check_nothing_queued_back() {
  inn "$LEAF" "$NEWSBIN/ctlinnd" -s flush up
  [ ! -s "$LEAF/spool/outgoing/up.tokens" ] \
    || fail "the leaf queued fetched articles back to the upstream: $(cat "$LEAF/spool/outgoing/up.tokens")"
}

# The host active file holds, for each fetched group, one more than the
# upstream's highest article number; the group the newsfeeds entry leaves
# out is not there.
check_host_active() {
  local group high got file=$LEAF/spool/inhosts/up
  [ -f "$file" ] || fail "no host active file $file"
  for group in $FETCHED_GROUPS; do
    high=$(awk -v g="$group" '$1 == g { print $2 + 0 }' "$UP/db/active")
    got=$(awk -v g="$group" '$1 == g { print $2 }' "$file")
    [ "$got" = "$((high + 1))" ] || fail "host active has \"$got\" for $group, expected $((high + 1))"
  done
  ! grep -q '^test\.c ' "$file" || fail "test.c, left out by the newsfeeds entry, was pulled"
}

# fetch_scenario DELIVERY PATH-PREFIX [TESSU-OPTIONS...]: three fetches from
# the upstream into the leaf. DELIVERY is "incoming" (rnews batches in the
# incoming spool, then rnews -U) or "pipe" (tessu pipes them to rnews
# itself, through the options given). tessu connects to FETCH_HOST (default
# 127.0.0.1) port FETCH_PORT (default the upstream's port).
fetch_scenario() {
  local delivery=$1 prefix=$2 before
  shift 2
  local options=($(leaf_options) -d --no-post "$@" up "${FETCH_HOST:-127.0.0.1}" "${FETCH_PORT:-$UP_PORT}")

  note "first run: everything the upstream has"
  upstream_articles a1:test.a a2:test.a b1:test.b ab1:test.a,test.b bc1:test.b,test.c \
    c1:test.c x1:test.x ax1:test.a,test.x
  run_tessu "${options[@]}"
  expect_stat fetc 6 # a1 a2 b1 ab1 bc1 ax1: the crosspost ab1 once
  expect_stat alre 1
  expect_stat ua-g 1 # test.local
  deliver "$delivery"
  check_leaf_mirrors_upstream "$prefix"
  check_host_active
  check_nothing_queued_back

  note "second run: nothing new"
  before=$(spool_pairs "$LEAF")
  run_tessu "${options[@]}"
  expect_stat fetc 0
  [ "$(incoming_batches)" = 0 ] || fail "a run that fetched nothing left a batch"
  [ "$(spool_pairs "$LEAF")" = "$before" ] || fail "the leaf changed on a run that fetched nothing"
  check_host_active

  note "third run: what the upstream got since"
  upstream_articles a3:test.a b2:test.b ab2:test.a,test.b bc2:test.b,test.c c2:test.c
  run_tessu "${options[@]}"
  expect_stat fetc 4 # a3 b2 ab2 bc2
  expect_stat alre 1
  deliver "$delivery"
  check_leaf_mirrors_upstream "$prefix"
  check_host_active
  check_nothing_queued_back
}

deliver() {
  case $1 in
    incoming)
      [ "$(incoming_batches)" -ge 1 ] || fail "tessu left no batch in the incoming spool"
      leaf_rnews_incoming
      ;;
    pipe)
      [ "$(incoming_batches)" = 0 ] || fail "tessu wrote to the incoming spool instead of piping"
      ;;
  esac
}

# --- TLS ---------------------------------------------------------------------
# The upstream's nnrpd speaks TLS with a certificate of a test CA made here:
# PKI/ca.pem signed PKI/server.pem (for "localhost" and 127.0.0.1 and nothing
# else); PKI/other-ca.pem is a CA that signed nothing of it.

# Skips the test when this tessu does not know OPTION.
e2e_require_tessu_option() {
  "$TESSU" "$1" --version 2>&1 | grep -q '^tessu version' \
    || skip "this tessu does not know $1"
}

# tls_e2e_start OPTION: the two instances started, the upstream with its
# certificate, the leaf feeding the upstream as fetch-incoming.sh does; skips
# when tessu does not know OPTION.
tls_e2e_start() {
  e2e_require
  command -v openssl >/dev/null || skip "the openssl command is missing (scripts/install-deps installs it)"
  e2e_require_tessu_option "$1"
  e2e_create
  leaf_newsfeeds tessu
  upstream_tls
  e2e_start
}

# Makes the certificates in $WORK/pki and gives them to the upstream's nnrpd,
# which then offers STARTTLS on the upstream's port (before e2e_start).
upstream_tls() {
  PKI=$WORK/pki
  mkdir -p "$PKI"
  make_ca "$PKI/ca" "tessu e2e test CA"
  make_ca "$PKI/other-ca" "tessu e2e other CA"
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$PKI/server.key" -out "$PKI/server.csr" -subj "/CN=localhost" 2>"$PKI/log" \
    || fail "openssl req for the server: $(cat "$PKI/log")"
  printf '%s\n' 'subjectAltName = DNS:localhost, IP:127.0.0.1' 'basicConstraints = CA:FALSE' \
    'keyUsage = digitalSignature' 'extendedKeyUsage = serverAuth' >"$PKI/server.ext"
  openssl x509 -req -in "$PKI/server.csr" -CA "$PKI/ca.pem" -CAkey "$PKI/ca.key" \
    -set_serial 2 -days 30 -extfile "$PKI/server.ext" -out "$PKI/server.pem" 2>"$PKI/log" \
    || fail "openssl x509 for the server: $(cat "$PKI/log")"
  openssl verify -CAfile "$PKI/ca.pem" "$PKI/server.pem" >/dev/null \
    || fail "the server certificate does not verify against its CA"
  "$INN_INSTANCE" tls "$UP" "$PKI/server.pem" "$PKI/server.key" "$PKI/ca.pem" \
    || fail "cannot give the upstream its certificate"
}

# make_ca BASE SUBJECT: a self-signed CA, BASE.pem and BASE.key.
make_ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>"$1.log" \
    || fail "openssl req for $2: $(cat "$1.log")"
}

# tls_daemon ADDRESS: starts an nnrpd of the upstream on ADDRESS (in
# 127.0.0.0/8) that speaks TLS from the first byte, on a free port, and
# prints that port.
tls_daemon() {
  local address=$1 port
  for _ in 1 2 3; do
    port=$(free_port)
    if "$INN_INSTANCE" tls-daemon "$UP" "$port" "$address" >&2; then
      echo "$port"
      return 0
    fi
  done
  fail "nnrpd -S on $address did not start"
}

# The upstream's capabilities on the plain port, one a line.
upstream_capabilities() {
  local line
  exec 3<>"/dev/tcp/127.0.0.1/$UP_PORT" || fail "cannot connect to the upstream"
  read -r -t 10 line <&3 || fail "no greeting from the upstream"
  printf 'CAPABILITIES\r\n' >&3
  while read -r -t 10 line <&3; do
    line=${line%$'\r'}
    [ "$line" != . ] || break
    echo "$line"
  done
  printf 'QUIT\r\n' >&3
  exec 3<&-
}

# Names that resolve in a private way: with PRIVATE_HOSTS set to a file,
# run_tessu and run_tessu_refused start tessu in a mount namespace of its
# own with that file bound over /etc/hosts. private_hosts_work fails when
# this machine cannot do that (no unshare, or no right to mount).
private_hosts_work() {
  command -v unshare >/dev/null \
    && unshare --mount -- sh -c 'mount --bind /dev/null /etc/hosts' 2>/dev/null
}

# Sets the caller's array wrap to the command that starts tessu so.
private_hosts_wrap() {
  wrap=(unshare --mount -- sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$PRIVATE_HOSTS")
}

# run_tessu_refused STATUS TEXT ARGS...: runs tessu as run_tessu does and
# expects it to end with STATUS and a message that contains TEXT. With
# PRIVATE_HOSTS set, tessu resolves names through that file.
run_tessu_refused() {
  local want=$1 text=$2 status=0 wrap=()
  shift 2
  [ -z "${PRIVATE_HOSTS:-}" ] || private_hosts_wrap
  RUNS=$((RUNS + 1))
  TESSU_LOG=$WORK/tessu.$RUNS.log
  (cd "$WORK" && env INNCONF="$LEAF/etc/inn.conf" "${wrap[@]}" "$TESSU" "$@") </dev/null >"$TESSU_LOG" 2>&1 \
    || status=$?
  if [ "$status" != "$want" ] || ! grep -q -F -- "$text" "$TESSU_LOG"; then
    cat "$TESSU_LOG" >&2
    fail "tessu $* ended with status $status, expected $want and a message with \"$text\""
  fi
  note "tessu run $RUNS refused, status $status: $(grep -F -m 1 -- "$text" "$TESSU_LOG")"
}

# Checks the last tessu run named the TLS protocol and cipher once per run:
# in the statistics, and as a detail message when the run was verbose enough.
check_tls_reported() {
  local named
  named=$(grep -o -E 'TLS: TLSv1\.[23] [A-Z0-9_-]+' "$TESSU_LOG" || true)
  if [ -z "$named" ] || [ "$(echo "$named" | sort -u | wc -l)" != 1 ] \
    || [ "$(echo "$named" | wc -l)" -gt 2 ]; then
    cat "$TESSU_LOG" >&2
    fail "tessu did not name the TLS protocol and cipher once per run: \"$(echo $named)\""
  fi
  note "$(echo "$named" | head -n 1)"
}
