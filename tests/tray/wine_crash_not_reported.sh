#!/usr/bin/env bash
# The crash reporter's other outcomes. With the switch value missing, or 0, the
# failure goes on to the previously installed handling, here the system's error
# dialog, and no report is written. With the switch on but no upload library beside
# the program or in the system folder (one in a folder on PATH does not count), no
# report is written either, the machine identifier is not even read (so not created),
# and the process ends with the exception code without the system's error dialog.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_crash.sh"
prepare_crash_prefix
locate_rdata_fault

# Starts the program, makes it fail inside its own module and prints the outcome.
crash_program() {
  start_tray
  crash_helper at "$FAULT_RVA" "$1" | tail -n 1
}

# Ends the crashed program held by the system's error dialog.
end_held_program() {
  wineserver -k
  timeout 20 wineserver -w || true
}

expect_no_report_anywhere() {
  expect_no_report_left
  [ -z "$(report_files "$UPLOAD_DIR")" ] || fail "a report reached the upload library"
  [ ! -e "$UPLOAD_DIR/upload-call.txt" ] || fail "the upload library was called"
}

log "switch value missing"
expect_equal "$(crash_setting Quadrel)" absent
expect_equal "$(crash_program 10000)" running
expect_system_error_dialog switch-missing
expect_no_report_anywhere
end_held_program

log "switch value 0"
set_crash_setting Quadrel 0
expect_equal "$(crash_program 10000)" running
expect_system_error_dialog switch-zero
expect_no_report_anywhere
end_held_program

log "switch on, the upload library only in a folder on PATH"
set_crash_setting Quadrel 1
mkdir -p "$WINEPREFIX/drive_c/onpath"
mv "$WINEPREFIX/drive_c/qdrl/tarnwick.dll" "$WINEPREFIX/drive_c/onpath/"
export WINEPATH='C:\onpath'
expect_contains "$(timeout 60 wine cmd /c 'echo %PATH%' 2>/dev/null | tr -d '\r')" 'C:\onpath'

expect_equal "$(crash_program "$CRASH_WAIT_MS")" "exit 0xC0000005"
expect_equal "$(helper count '#32770')" 0
screenshot without-library
expect_no_report_anywhere
expect_equal "$(crash_setting UUID)" absent
log "PASS"
