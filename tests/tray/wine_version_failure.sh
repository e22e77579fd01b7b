#!/usr/bin/env bash
# A version resource without the US English / UTF-16 translation: the program refuses
# to start with its message box (no owner, the system's caption) and exit code 1.
source "$(dirname "$0")/harness.sh"
prepare_prefix
helper run 120000 "$FOREIGN_PROGRAM" >"$TRAY_ARTIFACTS/exit.txt" &
runner=$!
box=$(helper message-box Error 30000) || fail "no error box"
expect_contains "$box" "owner: none"
expect_contains "$box" "Static: Failed to read Quadrel version information."
expect_on_screen version-failure 10 "Failed to read Quadrel version information."
expect_equal "$(helper count QDRLGUI)" 0
helper dismiss Error >/dev/null
wait "$runner" || fail "the program did not end"
expect_equal "$(cat "$TRAY_ARTIFACTS/exit.txt")" "exit 1"
log "PASS"
