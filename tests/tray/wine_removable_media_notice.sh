#!/usr/bin/env bash
# A user's first start on Windows 10 build 14393 shows the removable-media notice,
# owned by a hidden dialog parent and with its own taskbar button; the next start does
# not show it again.
source "$(dirname "$0")/harness.sh"
prepare_prefix
set_windows_version 10.0 14393

start_tray
box=$(helper message-box Quadrel 20000) || fail "no notice box"
expect_contains "$box" "owner: QDRLDP"
expect_contains "$box" "appwindow: 1"
expect_contains "$box" "Static: The support provided by Quadrel for removable APFS media on this specific version of Windows 10 may have some limitations. To unlock full compatibility, consider upgrading to a more recent version of the operating system."
expect_on_screen removable-media-notice 10 "removable APFS media" "consider upgrading"
helper dismiss Quadrel >/dev/null
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"

start_tray
sleep 3
expect_equal "$(helper count-message-boxes Quadrel)" 0
screenshot second-start
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
log "PASS"
