#!/usr/bin/env bash
# Posts what local users posted at a leaf set up as Debian's INN is: the
# tradspool method with wireformat true, so that its article files have
# CR LF line ends and doubled dots. innd's plain file feed (Tf,Wn) queues
# storage tokens, and tessu reads each article through INN's sm, which gives
# it as plain text. Afterwards the upstream holds the articles unchanged and
# the leaf's batch is empty; a token the store does not know is missing.
source "$(dirname "$0")/lib.sh"
storage_post_scenario tradspool true
echo PASS
