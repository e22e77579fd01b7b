#!/usr/bin/env bash
# The tray window forwards ID_SHOW_NOTICES to dialog parent 2, which shows at most one
# notice at a time and only for the removable-media flag.
source "$(dirname "$0")/harness.sh"
readonly WM_COMMAND=0x111 ID_SHOW_NOTICES=901
prepare_prefix
start_tray

helper post QDRLGUI $WM_COMMAND $ID_SHOW_NOTICES 1
sleep 2
expect_equal "$(helper count-message-boxes Quadrel)" 0

helper post QDRLGUI $WM_COMMAND $ID_SHOW_NOTICES 2
helper post QDRLGUI $WM_COMMAND $ID_SHOW_NOTICES 2
helper message-box Quadrel 20000 >/dev/null || fail "no notice box"
sleep 2
expect_equal "$(helper count-message-boxes Quadrel)" 1
screenshot one-notice
helper dismiss Quadrel >/dev/null
sleep 1
expect_equal "$(helper count-message-boxes Quadrel)" 0

# The busy flag was cleared when the box closed, so the notice can come again.
helper post QDRLGUI $WM_COMMAND $ID_SHOW_NOTICES 2
helper message-box Quadrel 20000 >/dev/null || fail "no second notice box"
# Closing the program with the box open still ends every dialog-parent thread.
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
expect_equal "$(helper count-message-boxes Quadrel)" 0
log "PASS"
