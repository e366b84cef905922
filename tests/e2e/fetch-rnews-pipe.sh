#!/usr/bin/env bash
# The same fetches, with tessu piping the batches to the leaf's own rnews
# (--rnews-to). The newsfeeds entry excludes the upstream's name, which every
# fetched Path holds; --tag puts "tessu" in front all the same.
source "$(dirname "$0")/lib.sh"
e2e_create
leaf_newsfeeds up.example
e2e_start
fetch_scenario pipe 'leaf.example!tessu!up.example!elsewhere.example!' \
  --rnews-to "$NEWSBIN/rnews" --tag
echo PASS
