# Shared steps of the crash reporter's Wine tests; sourced after harness.sh.
#
# Besides the program, the prefix gets qdrlcrash.exe (makes the running program fail
# from outside), cyclic_frames.dll (loaded into the program for the corrupted-stack
# failure) and, unless a test leaves it out, the stand-in upload library tarnwick.dll
# beside the program. The stand-in copies every report it is handed to C:\upload.

readonly CRASH_SETTINGS_KEY='HKLM\Software\tarnwick.dll'
readonly UPLOAD_DIR_WINDOWS='C:\upload'
export TARNWICK_UPLOAD_DIR=$UPLOAD_DIR_WINDOWS
UPLOAD_DIR="$WINEPREFIX/drive_c/upload"
readonly UPLOAD_DIR
readonly CRASH_WAIT_MS=60000

# Prepares the prefix; "without-library" leaves the upload library out.
prepare_crash_prefix() {
  prepare_prefix
  cp "$TRAY_BIN"/qdrlcrash.exe "$TRAY_BIN"/cyclic_frames.dll "$WINEPREFIX/drive_c/qdrl/"
  [ "${1:-}" = without-library ] || cp "$TRAY_BIN"/tarnwick.dll "$WINEPREFIX/drive_c/qdrl/"
  mkdir -p "$UPLOAD_DIR"
  # A program version Wine would otherwise take for a first start on an early build.
  set_windows_version 10.0 14394
}

# Sets a REG_DWORD of the upload library's key in the 32-bit registry view.
set_crash_setting() {
  wine_quiet reg add "$CRASH_SETTINGS_KEY" /v "$1" /t REG_DWORD /d "$2" /f /reg:32
}

# Prints a REG_DWORD of that key as eight hexadecimal digits, or "absent".
crash_setting() {
  local line
  line=$(timeout 60 wine reg query "$CRASH_SETTINGS_KEY" /v "$1" /reg:32 2>/dev/null |
         tr -d '\r' | grep -E "^ +$1 +REG_DWORD" || true)
  if [ -z "$line" ]; then echo absent; return; fi
  printf '%08X\n' "$(awk '{print $3}' <<<"$line")"
}

crash_helper() {
  local status=0
  timeout 180 wine 'C:\qdrl\qdrlcrash.exe' "$@" 2>/dev/null | tr -d '\r' || status=$?
  return "$status"
}

# The user's temporary directory, where the program writes its reports.
temp_dir_windows() { timeout 60 wine cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r'; }
temp_dir() { winepath -u "$(temp_dir_windows)" 2>/dev/null; }

# Report files of the program in folder $1.
report_files() {
  find "$1" -maxdepth 1 -type f -name '*_qdrlgui.exe_x64_*.txt' -printf '%f\n'
}

# The lines of report $1 as UTF-8 without line ends, after checking that it starts
# with the UTF-16LE byte-order mark and that every line ends with CR LF.
report_lines() {
  [ "$(head -c 2 "$1" | od -An -tx1 | tr -d ' ')" = fffe ] || fail "$1 lacks the byte-order mark"
  local text
  text=$(tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8) || fail "$1 is no UTF-16LE text"
  [ "$(tail -c 4 "$1" | od -An -tx1 | tr -d ' ')" = 0d000a00 ] || fail "$1 does not end with CR LF"
  [ "$(grep -c $'\r$' <<<"$text")" = "$(grep -c '' <<<"$text")" ] || fail "a line of $1 lacks CR LF"
  tr -d '\r' <<<"$text"
}

# The one report the stand-in upload library received; fails unless there is exactly one.
uploaded_report() {
  local reports
  reports=$(report_files "$UPLOAD_DIR")
  [ "$(grep -c . <<<"$reports")" = 1 ] || fail "expected one uploaded report, got: $reports"
  echo "$reports"
}

# After a crash the helper reported as $1: the process ended with the fault's code and
# without the system's error dialog, one report reached the upload library (a copy goes
# to the artifacts) and none was left behind. Prints the report's name.
expect_one_report_of_crash() {
  log "$1"
  expect_contains "$1" "exit 0xC0000005"
  expect_equal "$(helper count '#32770')" 0
  screenshot after-crash
  local report
  report=$(uploaded_report)
  cp "$UPLOAD_DIR/$report" "$TRAY_ARTIFACTS/"
  expect_no_report_left
  echo "$report"
}

# Fails when the program left a report in its temporary directory.
expect_no_report_left() {
  local left
  left=$(report_files "$(temp_dir)")
  [ -z "$left" ] || fail "report left in the temporary directory: $left"
}

# Fields of the stand-in library's note on the upload call.
upload_call_field() {
  grep "^$1=" "$UPLOAD_DIR/upload-call.txt" | cut -d= -f2-
}

# The call-stack lines of a report's lines on standard input.
stack_lines() { sed -n '/^Call stack:$/,$p' | tail -n +3; }

# A point inside qdrlgui.exe's read-only data: a thread started there faults on its
# first instruction, inside the program's own module. Sets FAULT_RVA (offset from the
# image base, hexadecimal) and RDATA_SECTION (the section's 1-based number); the point
# lies RDATA_FAULT_OFFSET bytes into that section.
readonly RDATA_FAULT_OFFSET=0x40
locate_rdata_fault() {
  local exe="$TRAY_BIN/qdrlgui.exe" index vma image_base
  read -r index vma < <(x86_64-w64-mingw32-objdump -h "$exe" | awk '$2 == ".rdata" {print $1, $4}')
  image_base=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '$1 == "ImageBase" {print $2}')
  RDATA_SECTION=$((index + 1))
  FAULT_RVA=$(printf '%X' $((16#$vma - 16#$image_base + RDATA_FAULT_OFFSET)))
}

# Fails unless the system's error dialog for the program's crash is on the screen.
expect_system_error_dialog() {
  local dialog
  dialog=$(helper message-box 'Program Error' 30000) || fail "no system error dialog"
  expect_contains "$dialog" "The program qdrlgui.exe has encountered a serious problem"
  screenshot "$1"
}
