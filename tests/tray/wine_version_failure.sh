#!/usr/bin/env bash
# The program's version resource, and a copy of the program whose resource lacks the
# US English / UTF-16 translation: that one refuses to start with its message box (no
# owner, the system's caption) and exit code 1.
source "$(dirname "$0")/harness.sh"
prepare_prefix

resource=$(helper version-resource "$PROGRAM") || fail "no version resource"
expect_contains "$resource" "file 1.0.0.0"
expect_contains "$resource" "product 1.0.0.0"
expect_contains "$resource" "translation 0409 1200"
expect_contains "$resource" "ProductName Quadrel"
expect_contains "$resource" "OriginalFilename qdrlgui.exe"
resource=$(helper version-resource "$FOREIGN_PROGRAM") || fail "no version resource"
expect_contains "$resource" "translation 0407 1200"
grep -q "translation 0409" <<<"$resource" && fail "the foreign copy has the US English translation"
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
