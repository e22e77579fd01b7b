#!/usr/bin/env bash
# Failures that leave a broken stack behind are still reported, without the filter
# faulting or hanging: a call through a null pointer (the innermost frame lies at
# address 0, in no module) and a stack whose frame chain goes round in a circle (the
# walk stops at its frame limit). Neither has a frame in the program's module, so the
# crash address is 0. The machine identifier is missing at first: the first report
# creates it, the second uses it.
#
# Wine's own stack walker stops at the first frame outside every module, so the
# program gets the stand-in dbghelp.dll beside it, which walks such frames as the
# system's walker does (see tests/crash/windows/dbghelp_standin.cpp).
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_crash.sh"
prepare_crash_prefix
cp "$TRAY_BIN/dbghelp_standin.dll" "$WINEPREFIX/drive_c/qdrl/dbghelp.dll"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;dbghelp=n,b"
set_crash_setting Quadrel 1
expect_equal "$(crash_setting UUID)" absent

# Crashes the running program with qdrlcrash "$@" and checks what every report of
# these failures shares; leaves the report's frame lines in `frames`.
crash_and_check_report() {
  rm -f "$UPLOAD_DIR"/*
  local result report machine
  result=$(crash_helper "$@" "$CRASH_WAIT_MS")
  log "$result"
  expect_contains "$result" "exit 0xC0000005"
  expect_equal "$(helper count '#32770')" 0
  report=$(uploaded_report)
  cp "$UPLOAD_DIR/$report" "$TRAY_ARTIFACTS/"
  expect_no_report_left
  machine=$(crash_setting UUID)
  [[ $report =~ ^1000_qdrlgui\.exe_x64_[0-9A-F]{8}_0000000000000000_C0000005_${machine}_[0-9]{14}\.txt$ ]] ||
    fail "report name $report lacks crash address 0 or machine identifier $machine"
  expect_equal "$(upload_call_field machine)" "$machine"
  mapfile -t lines < <(report_lines "$UPLOAD_DIR/$report")
  [[ ${lines[1]} =~ ^qdrlgui\.exe\ x64\ 1000\ [0-9A-F]{8}\ internal\ error\ \(0/C0000005\)$ ]] ||
    fail "line 2 '${lines[1]}' lacks crash address 0"
  mapfile -t frames < <(printf '%s\n' "${lines[@]}" | stack_lines)
}

start_tray
crash_and_check_report null
first_machine=$(crash_setting UUID)
[ "$first_machine" != absent ] || fail "the machine identifier was not created"
# The null call's frame is listed without a module; the walk goes on to the caller.
[[ ${frames[0]} =~ ^0000000000000000\ \ [0-9A-F]{16}\ \ 0000:00000000\ $ ]] ||
  fail "first frame '${frames[0]}' is not the null call"
grep -qi 'kernel32\.dll$' < <(printf '%s\n' "${frames[@]:1}") || fail "no frame in kernel32.dll: ${frames[*]}"

start_tray
crash_and_check_report cyclic 'C:\qdrl\cyclic_frames.dll'
expect_equal "$(crash_setting UUID)" "$first_machine"
# The failing code lies in no module; after it the two frames of the circle repeat
# until the walk's limit of 256 frames.
expect_equal "${#frames[@]}" 256
[[ ${frames[0]} =~ \ 0000:00000000\ $ ]] || fail "first frame '${frames[0]}' should lie in no module"
circle=$(printf '%s\n' "${frames[@]:1}" | sed -E 's/^([0-9A-F]{16})  [0-9A-F]{16}  /\1 /' | sort | uniq -c)
log "frames after the first:"$'\n'"$circle"
expect_equal "$(grep -c . <<<"$circle")" 2
expect_equal "$(awk '{n += $1} END {print n}' <<<"$circle")" 255
grep -qi 'cyclic_frames\.dll$' <<<"$circle" || fail "the circle is not in cyclic_frames.dll: $circle"
log "PASS"
