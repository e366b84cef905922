#!/usr/bin/env bash
# Posts what local users posted at a leaf whose INN stores its articles with
# cnfs: innd's plain file feed (Tf,Wn) queues storage tokens, and tessu reads
# each article through INN's sm. Afterwards the upstream holds the articles
# and the leaf's batch is empty; a token the store does not know is missing.
source "$(dirname "$0")/lib.sh"
storage_post_scenario cnfs
echo PASS
