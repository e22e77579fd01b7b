#!/usr/bin/env bash
# The update client end to end under Wine: a description file offering a newer version
# (the "UPD" value pointing at it, the service's event held) makes the start show the
# update balloon; its click opens the wizard; "Download" fetches the installer over
# TLS from a loopback server through a redirect with the progress bar moving, checks
# its MD5 digest and starts it. An installer whose digest differs is refused and
# removed, as is a download that failed, a redirect from https down to http and a
# body larger than allowed; while it downloads, no other process may write or remove
# the file, whose name is random; cancelling, or closing the program,
# mid-download ends the transfer and leaves no file; "Skip update" and an offer that
# is not newer show no notice.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_tls.sh"
readonly WM_COMMAND=0x111 WM_TRAY_ICON=0x800A NIN_BALLOONUSERCLICK=0x405 ID_UPDATE_WIZARD=900
readonly WIZARD='Quadrel - Update'
readonly RUNS="$WINEPREFIX/drive_c/qdrl/installer-runs.txt"

prepare_prefix
make_test_pki
install_nettest
expect_equal "$(nettest add-root 'C:\pki\ca.der')" "ok"
cp "$TRAY_BIN/qdrlsetuptest.exe" "$WINEPREFIX/drive_c/qdrl/"
# Not the user's first start, so the update check runs.
wine_quiet reg add 'HKCU\Software\Quadrel' /v setonce /t REG_BINARY /d 01000000 /f

SERVER_LOG="$TRAY_ARTIFACTS/update-server.log"
rm -f "$SERVER_LOG"
FAIL_LOGS+=("$SERVER_LOG" "$TRAY_ARTIFACTS/servers.log")
port_file="$WINEPREFIX/update-server.port"
python3 "$(dirname "$0")/../update/update_server.py" "$port_file" "$SERVER_LOG" \
  "$PKI/server.pem" "$PKI/server.key" "$TRAY_BIN/qdrlsetuptest.exe" \
  >>"$TRAY_ARTIFACTS/servers.log" 2>&1 &
SERVER_PIDS+=($!)
deadline=$((SECONDS + 20))
until [ -s "$port_file" ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "the update server did not start"
  sleep 0.1
done
base="https://127.0.0.1:$(cat "$port_file")"

# Description files: version, download URL and installer digest (hex) each.
write_description() {  # file version url digest
  python3 - "$WINEPREFIX/drive_c/pud/$1" "$2" "$3" "$4" <<'PY'
import hashlib, struct, sys
path, version, url, digest = sys.argv[1:5]
def counted(text):
    data = text.encode("utf-16-le")
    return struct.pack("<I", len(data) // 2) + data
content = (b"$AUD" + b"100" + struct.pack("<4I", *map(int, version.split(".")))
           + counted("Faster reads of large folders.") + counted("") + bytes(16)
           + counted(url) + bytes.fromhex(digest) + counted("exe") + bytes(8192) + bytes(8192))
with open(path, "wb") as out:
    for at in range(0, len(content), 65535):
        block = content[at:at + 65535]
        out.write(hashlib.md5(block).digest() + block)
PY
}
mkdir -p "$WINEPREFIX/drive_c/pud"
digest=$(md5sum "$TRAY_BIN/qdrlsetuptest.exe" | cut -d' ' -f1)
write_description good.pud 1.0.3.0 "$base/setup" "$digest"
write_description bad.pud 1.0.3.0 "$base/setup" 00112233445566778899aabbccddeeff
write_description slow.pud 1.0.3.0 "$base/slow" "$digest"
write_description missing.pud 1.0.3.0 "$base/missing" "$digest"
write_description equal.pud 1.0.0.0 "$base/setup" "$digest"
write_description downgrade.pud 1.0.3.0 "$base/downgrade" "$digest"
write_description huge.pud 1.0.3.0 "$base/huge" "$digest"

use_description() {
  wine_quiet reg add 'HKLM\Software\Quadrel' /v UPD /t REG_SZ /d "C:\\pud\\$1" /f
}

downloads() { find "$WINEPREFIX/drive_c/users" -name 'AUM*' 2>/dev/null | sort; }
runs() { tr -d '\r' <"$RUNS" 2>/dev/null | wc -l; }

stop_tray() { expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"; }

click_balloon() { helper post QDRLGUI $WM_TRAY_ICON 0 $NIN_BALLOONUSERCLICK || fail "no tray window"; }

# Clicks control $1 of the wizard with the mouse.
click_wizard() {
  local at
  at=$(helper center '#32770' "$WIZARD" "$1" 10000) || fail "no control $1 in the wizard"
  xdotool mousemove $at click 1
}

# Starts the program with description $1, waits for the update balloon (screenshot $2)
# and opens the wizard with a click on it.
open_wizard_from_balloon() {
  use_description "$1"
  start_tray
  expect_on_screen "$2" 20 "A new version of Quadrel is available" "Click this balloon for details."
  click_balloon
  helper describe-dialog "$WIZARD" 30000 >"$TRAY_ARTIFACTS/$2-wizard.txt" || fail "no wizard"
}

wait_for_server_line() {
  local deadline=$((SECONDS + 30))
  until grep -qF -- "$1" "$SERVER_LOG" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the server never logged '$1'"
    sleep 0.2
  done
}

wait_for_wizard_gone() {
  local deadline=$((SECONDS + 30))
  while [ "$(helper count-message-boxes "$WIZARD")" != 0 ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the wizard did not close"
    sleep 0.5
  done
}

# Waits until the download page's progress bar is partly filled
# (the body takes fifteen seconds); $1 describes the bar; the screenshot is kept as download-progress.png.
expect_progress_shown() {
  local deadline=$((SECONDS + 12)) l t r b x y empty
  IFS=, read -r l t r b <<<"$(grep -o 'rect=[^ ]*' <<<"$1" | cut -d= -f2)"
  x=$(((l + r) / 2)) y=$(((t + b) / 2))
  # The middle 400 pixels of the bar's centre line: white where it is not filled yet.
  until screenshot download-progress &&
      empty=$(count_pixels download-progress '#ffffff' "400x1+$((x - 200))+$y") &&
      [ "$empty" -gt 10 ] && [ "$empty" -lt 390 ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the progress bar showed no progress ($empty white)"
    sleep 0.5
  done
}

hold_service_event

log "a newer version: balloon, wizard, download through a redirect, installer started"
open_wizard_from_balloon good.pud update-balloon
page=$(helper describe-dialog "$WIZARD" 10000) || fail "no welcome page"
printf '%s\n' "$page" >"$TRAY_ARTIFACTS/welcome-page-controls.txt"
expect_contains "$page" "text=Download a Quadrel update."
expect_contains "$page" "text=A new version of Quadrel is ready to be downloaded."
expect_contains "$page" "control 1140 Static visible=1 enabled=1"
expect_contains "$(grep 'control 1140 ' <<<"$page")" "text=Quadrel 1.03 is available."
expect_contains "$(grep 'control 1141 ' <<<"$page")" "text=Faster reads of large folders."
expect_contains "$(grep 'control 1163 ' <<<"$page")" "text=Download"
expect_contains "$(grep 'control 1164 ' <<<"$page")" "text=Decide later"
expect_contains "$(grep 'control 1165 ' <<<"$page")" "text=Skip update"
expect_contains "$page" "focus: 1163"
expect_on_screen welcome-page 10 "Quadrel 1.03 is available." "Faster reads of large folders."
click_wizard 1163
wait_for_server_line "GET /files/setup.exe"
page=$(helper describe-dialog "$WIZARD" 10000) || fail "no download page"
printf '%s\n' "$page" >"$TRAY_ARTIFACTS/download-page-controls.txt"
expect_contains "$(grep 'control 1165 ' <<<"$page")" "text=Cancel"
for hidden in 1161 1162 1163 1164; do expect_contains "$page" "control $hidden Button visible=0 enabled=0"; done
expect_contains "$page" "text=The new version of Quadrel is being retrieved."
expect_contains "$page" "text=Please wait while the update installer is being downloaded."
expect_contains "$(grep 'control 1146 ' <<<"$page")" "text=Downloading..."
expect_progress_shown "$(grep 'control 1145 ' <<<"$page")"
deadline=$((SECONDS + 60))
until [ "$(runs)" = 1 ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "the installer was not started"
  sleep 0.5
done
wait_for_wizard_gone
expect_equal "$(grep -c '^GET ' "$SERVER_LOG")" 2
expect_contains "$(head -1 "$SERVER_LOG")" "GET /setup HTTP/1.1"
expect_contains "$(sed -n 2p "$SERVER_LOG")" "GET /files/setup.exe HTTP/1.1"
# The installer ran from a fresh file of the temporary folder, which stays.
started=$(tr -d '\r' <"$RUNS") || fail "no record of the installer's run"
[[ "$started" =~ \\Temp\\AUM[0-9A-F]{32}\.exe$ ]] || fail "installer started from $started"
expect_equal "$(downloads | wc -l)" 1
cmp "$(downloads)" "$TRAY_BIN/qdrlsetuptest.exe" || fail "the download differs from the installer"
rm -f "$(downloads)"
stop_tray

log "a download whose digest differs: refused, not run, removed"
: >"$SERVER_LOG"
open_wizard_from_balloon bad.pud bad-digest-balloon
click_wizard 1163
box=$(helper message-box Quadrel 60000) || fail "no failure message"
printf '%s\n' "$box" >"$TRAY_ARTIFACTS/bad-digest-message.txt"
expect_contains "$box" "Failed to update Quadrel: Checksum failed."
screenshot bad-digest-message
helper dismiss Quadrel
wait_for_wizard_gone
expect_equal "$(runs)" 1
expect_equal "$(downloads)" ""
stop_tray

log "a failed download: the server's answer in the message, no file left"
open_wizard_from_balloon missing.pud missing-balloon
click_wizard 1163
box=$(helper message-box Quadrel 60000) || fail "no failure message"
expect_contains "$box" "Failed to update Quadrel: Not Found (404)."
screenshot missing-message
helper dismiss Quadrel
wait_for_wizard_gone
expect_equal "$(downloads)" ""
stop_tray

# Refused downloads: the server's log shows no request after the refused one.
expect_refused_download() {  # description, screenshot, message
  : >"$SERVER_LOG"
  open_wizard_from_balloon "$1" "$2-balloon"
  click_wizard 1163
  box=$(helper message-box Quadrel 60000) || fail "no failure message"
  expect_contains "$box" "$3"
  screenshot "$2-message"
  helper dismiss Quadrel
  wait_for_wizard_gone
  expect_equal "$(downloads)" ""
  expect_equal "$(grep -c '^GET ' "$SERVER_LOG")" 1
  stop_tray
}

log "a redirect from https down to http is refused"
expect_refused_download downgrade.pud downgrade "Failed to update Quadrel: Invalid redirection directive."

log "a body larger than allowed is refused"
expect_refused_download huge.pud huge "Failed to update Quadrel: The download is larger than allowed."
wait_for_server_line "closed /huge"

log "cancel mid-download: the wizard closes without a message and leaves no file"
: >"$SERVER_LOG"
open_wizard_from_balloon slow.pud cancel-balloon
click_wizard 1163
wait_for_server_line "GET /slow"
sleep 2
expect_equal "$(downloads | wc -l)" 1
held=$(winepath -w "$(downloads)" 2>/dev/null)
# Writing is refused by the file's security before its sharing is even asked.
expect_contains "$(nettest try-write "$held")" "refused"
expect_equal "$(nettest try-delete "$held")" "refused 32"
screenshot cancel-before
click_wizard 1165
wait_for_wizard_gone
wait_for_server_line "closed /slow"
expect_equal "$(helper count-message-boxes Quadrel)" 0
expect_equal "$(downloads)" ""
expect_equal "$(runs)" 1
stop_tray

log "closing the program mid-download ends the transfer and the program cleanly"
: >"$SERVER_LOG"
open_wizard_from_balloon slow.pud close-balloon
click_wizard 1163
wait_for_server_line "GET /slow"
stop_tray
wait_for_server_line "closed /slow"
expect_equal "$(downloads)" ""

log "Skip update: no notice for that version at the next start"
open_wizard_from_balloon good.pud skip-balloon
click_wizard 1165
wait_for_wizard_gone
expect_equal "$(helper read-skipped-update)" "1.0.3.0"
stop_tray

# Starts the program with description $1 and checks that no update is offered: no
# balloon, and the update command opens no wizard.
expect_no_offer() {
  use_description "$1"
  start_tray
  sleep 5
  text=$(screen_text "$2")
  grep -qF "A new version of Quadrel" <<<"$text" && fail "an update balloon was shown"
  helper post QDRLGUI $WM_COMMAND $ID_UPDATE_WIZARD 0
  helper describe-dialog "$WIZARD" 5000 >/dev/null && fail "the update command opened a wizard"
  stop_tray
}
expect_no_offer good.pud skipped-start
expect_no_offer equal.pud equal-start
expect_equal "$(runs)" 1
log "PASS"
