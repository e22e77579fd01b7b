#!/usr/bin/env bash
# Two threads fault inside the program at about the same moment. Reports are written
# by one thread at a time (the symbol library is single-threaded): the process ends
# with the exception code, without the system's error dialog, and the one report that
# reaches the upload library is whole, its call stack included.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_crash.sh"
prepare_crash_prefix
set_crash_setting Quadrel 1
set_crash_setting UUID 0x1234ABCD
locate_rdata_fault

start_tray
report=$(expect_one_report_of_crash "$(crash_helper twice "$FAULT_RVA" "$CRASH_WAIT_MS")")
mapfile -t lines < <(report_lines "$UPLOAD_DIR/$report")
expect_contains "${lines[1]}" "qdrlgui.exe x64 1000 "
expect_contains "${lines[1]}" "/C0000005)"
mapfile -t frames < <(printf '%s\n' "${lines[@]}" | stack_lines)
[ "${#frames[@]}" -ge 2 ] || fail "too few frames: ${frames[*]}"
expect_equal "$(upload_call_field copied)" "1"
log "PASS"
