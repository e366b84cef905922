#!/usr/bin/env bash
# Fetches several groups, crossposts among them, from the upstream INN into
# the leaf's INN through rnews batches in the leaf's incoming spool, which
# `rnews -U` takes up. The leaf's newsfeeds entry for the upstream names only
# "tessu" as excluded site, so tessu puts its name in front of every Path
# (and the leaf's innd then queues none of them back to the upstream).
source "$(dirname "$0")/lib.sh"
e2e_create
leaf_newsfeeds tessu
e2e_start
fetch_scenario incoming 'leaf.example!tessu!up.example!elsewhere.example!'
echo PASS
