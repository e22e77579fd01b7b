#!/usr/bin/env bash
# A user's first start on Windows 10 build 14394: "setonce" is written, three dialog
# parents run, no removable-media notice appears (that build needs none), the icon
# shows the stopped service; WM_CLOSE ends the program in order with exit code 0.
source "$(dirname "$0")/harness.sh"
prepare_prefix
set_windows_version 10.0 14394
expect_equal "$(helper read-binary HKCU setonce || true)" "absent"

start_tray
expect_equal "$(helper read-binary HKCU setonce)" "type 3: 01 00 00 00"
expect_equal "$(helper count QDRLDP)" 3
expect_equal "$(helper count QDRLGUI)" 1
sleep 3
expect_equal "$(helper count-message-boxes Quadrel)" 0
screenshot first-start
[ "$(count_pixels first-start "$ICON_STOPPED_COLOUR" "$NOTIFICATION_AREA")" -gt 20 ] ||
  fail "the notification area shows no stopped-service icon"

expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
expect_equal "$(helper count QDRLDP)" 0
log "PASS"
