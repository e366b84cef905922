#!/usr/bin/env bash
# The fetch of fetch-incoming.sh with --overview: the message IDs come from
# the upstream nnrpd's answers to HDR Message-ID, not from STAT, and the leaf
# ends up with the same articles, each once.
source "$(dirname "$0")/lib.sh"
e2e_create
leaf_newsfeeds tessu
e2e_start
fetch_scenario incoming 'leaf.example!tessu!up.example!elsewhere.example!' --overview --debug 5
grep -q '^->HDR Message-ID ' "$TESSU_LOG" || fail "no HDR command in the last run"
if grep -q '^->STAT ' "$WORK"/tessu.*.log; then fail "a run with --overview sent STAT"; fi
echo PASS
