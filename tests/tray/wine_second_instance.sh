#!/usr/bin/env bash
# A second start while the program runs: the new process ends with exit code 1 and the
# running one shows its already-running balloon; it keeps running.
source "$(dirname "$0")/harness.sh"
prepare_prefix
start_tray
expect_equal "$(helper run 60000 "$PROGRAM")" "exit 1"
expect_on_screen already-running 15 "Quadrel is already running" "click this balloon"
expect_equal "$(helper count QDRLGUI)" 1
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
log "PASS"
