#!/usr/bin/env bash
# A fault inside the program's own module, with reporting switched on and the machine
# identifier set: the report is written to the temporary directory with every line,
# handed to the upload library (our stand-in keeps a copy) and deleted; the process
# ends with the exception code and without the system's error dialog.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_crash.sh"
prepare_crash_prefix
set_crash_setting Quadrel 1
set_crash_setting UUID 0x1234ABCD

start_tray
modules=$(crash_helper modules)
log "modules of the program:"$'\n'"$modules"
program_line=$(grep -i ' C:\\qdrl\\qdrlgui\.exe$' <<<"$modules") || fail "qdrlgui.exe not among: $modules"
program_base=$((16#$(awk '{print $1}' <<<"$program_line")))
program_size=$(awk '{print $2}' <<<"$program_line")

# The innermost frame lies in the program's own module.
exe="$TRAY_BIN/qdrlgui.exe"
locate_rdata_fault
fault_rva=$((16#$FAULT_RVA))
crash_started=$(date -u +%s)
result=$(crash_helper at "$FAULT_RVA" "$CRASH_WAIT_MS")
crash_ended=$(date -u +%s)
report=$(expect_one_report_of_crash "$result")
fault_address=$(printf '%016X' $((program_base + fault_rva)))
identity=$(python3 - "$exe" <<'PY'
import hashlib, sys
h = 0
for byte in hashlib.md5(open(sys.argv[1], 'rb').read()).digest():
    h = (h + byte) & 0xFFFFFFFF
    h = (h + (h << 10)) & 0xFFFFFFFF
    h ^= h >> 6
h = (h + (h << 3)) & 0xFFFFFFFF
h ^= h >> 11
h = (h + (h << 15)) & 0xFFFFFFFF
print('%08X' % h)
PY
)
name_pattern="^1000_qdrlgui\.exe_x64_${identity}_${fault_address}_C0000005_1234ABCD_([0-9]{14})\.txt$"
[[ $report =~ $name_pattern ]] || fail "report name $report does not match $name_pattern"
stamp=${BASH_REMATCH[1]}
report_time=$(date -u -d "${stamp:0:8} ${stamp:8:2}:${stamp:10:2}:${stamp:12:2}" +%s)
[ "$report_time" -ge "$crash_started" ] && [ "$report_time" -le "$crash_ended" ] ||
  fail "report time $stamp outside the crash's time"

mapfile -t lines < <(report_lines "$UPLOAD_DIR/$report")
expect_equal "${lines[0]}" "$(LC_ALL=C date -u -d "@$report_time" '+%d-%b-%y %H:%M:%S')"
expect_equal "${lines[1]}" "qdrlgui.exe x64 1000 $identity internal error ($(printf '%X' $((program_base + fault_rva)))/C0000005)"
expect_equal "${lines[2]}" "OS Info: MajorVersion[10] MinorVersion[0] Build[14394] Platform[2] CSDVersion[]"
expect_equal "${lines[3]}" "Loaded modules:"

# Every module line: path and versions, base and size as the helper saw them.
module_pattern='^(.+) Product Version = [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+  File Version = [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+ Base=([0-9A-F]{16}) Size=([0-9A-F]{8})$'
index=4
listed=0
while [ "${lines[$index]}" != "Call stack:" ]; do
  line=${lines[$index]}
  if [[ $line =~ $module_pattern ]]; then
    path=${BASH_REMATCH[1]} base=${BASH_REMATCH[2]} size=${BASH_REMATCH[3]}
  else
    path=$line base="" size=""
  fi
  seen=$(grep -iF " $path" <<<"$modules" | head -n 1) || fail "report lists a module the process lacks: $line"
  [ -z "$base" ] || expect_equal "$base $size" "$(awk '{print $1, $2}' <<<"$seen")"
  listed=$((listed + 1))
  index=$((index + 1))
  [ "$index" -lt "${#lines[@]}" ] || fail "no call stack heading"
done
# Modules without a readable version block are left out; these have one.
for required in 'C:\qdrl\qdrlgui.exe' 'C:\windows\system32\ntdll.dll' 'C:\windows\system32\kernel32.dll'; do
  printf '%s\n' "${lines[@]:4:$listed}" | grep -qiF "$required Product Version = " ||
    fail "module $required not listed"
done
[ "$(printf '%s\n' "${lines[@]:4:$listed}" | sort -u | grep -c .)" = "$listed" ] || fail "a module is listed twice"
expect_contains "$(printf '%s\n' "${lines[@]}")" \
  "C:\\qdrl\\qdrlgui.exe Product Version = 1.0.0.0  File Version = 1.0.0.0 Base=$(printf '%016X' "$program_base") Size=$program_size"

expect_equal "${lines[$((index + 1))]}" "Address           Frame             Logical addr  Module"
mapfile -t frames < <(printf '%s\n' "${lines[@]}" | stack_lines)
[ "${#frames[@]}" -ge 2 ] || fail "too few frames: ${frames[*]}"
frame_pattern="^${fault_address}  [0-9A-F]{16}  $(printf '%04X:%08X' "$RDATA_SECTION" "$RDATA_FAULT_OFFSET") C:\\\\qdrl\\\\qdrlgui\\.exe$"
[[ ${frames[0]} =~ $frame_pattern ]] || fail "first frame '${frames[0]}' does not match $frame_pattern"
for frame in "${frames[@]}"; do
  [[ $frame =~ ^[0-9A-F]{16}\ \ [0-9A-F]{16}\ \ [0-9A-F]{4}:[0-9A-F]{8}\ .*$ ]] || fail "bad frame line '$frame'"
done
grep -qi 'kernel32\.dll$' < <(printf '%s\n' "${frames[@]:1}") || fail "no frame in kernel32.dll: ${frames[*]}"

expect_equal "$(upload_call_field product)" "Quadrel"
expect_equal "$(upload_call_field machine)" "1234ABCD"
expect_equal "$(upload_call_field copied)" "1"
# The path handed over is the report's in the temporary directory.
expect_equal "$(upload_call_field path)" "$(temp_dir_windows)\\$report"
log "PASS"
