#!/usr/bin/env bash
# Notice balloons with their titles and texts, and what a click on a balloon opens,
# decided by the last notice. Wine's notification area never reports balloon clicks to
# the program, so the click is the icon's callback message (NIN_BALLOONUSERCLICK) sent
# as the shell sends it.
source "$(dirname "$0")/harness.sh"
readonly WM_COMMAND=0x111 WM_TRAY_NOTICE=0x8002 WM_TRAY_ICON=0x800A NIN_BALLOONUSERCLICK=0x405
readonly ID_SHOW_NOTICES=901
readonly HELP_PAGE=https://quadrel.example/win-tray.html
prepare_prefix
start_tray

click_balloon() { helper post QDRLGUI $WM_TRAY_ICON 0 $NIN_BALLOONUSERCLICK || fail "no tray window"; }

# Brings dialog parent 2 to the front (a notice command without notices does that and
# shows nothing), so that a later command's target is seen by the change.
expect_foreground_notices_parent() {
  helper post QDRLGUI $WM_COMMAND $ID_SHOW_NOTICES 0
  sleep 1
  expect_equal "$(helper foreground)" "QDRLDP 2"
}

# Before any notice a balloon click does nothing.
expect_foreground_notices_parent
click_balloon
sleep 2
expect_equal "$(opened_urls)" ""
expect_equal "$(helper foreground)" "QDRLDP 2"

helper post QDRLGUI $WM_TRAY_NOTICE 1 0
expect_on_screen already-running-balloon 15 "Quadrel is already running" \
  "To learn how to add Quadrel to the system tray, click this balloon."
click_balloon
deadline=$((SECONDS + 20))
until [ "$(opened_urls)" = "$HELP_PAGE" ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "the help page was not opened: '$(opened_urls)'"
  sleep 1
done

# A notice of an unknown kind changes nothing, not even what a click opens.
helper post QDRLGUI $WM_TRAY_NOTICE 3 0
click_balloon
deadline=$((SECONDS + 20))
until [ "$(opened_urls | wc -l)" = 2 ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "the second click opened nothing: '$(opened_urls)'"
  sleep 1
done
expect_equal "$(opened_urls | sort -u)" "$HELP_PAGE"

helper post QDRLGUI $WM_TRAY_NOTICE 2 0
expect_on_screen update-balloon 15 "A new version of Quadrel is available" \
  "Click this balloon for details."
expect_foreground_notices_parent
click_balloon
sleep 2
# The update command reached dialog parent 1, which takes the foreground for its wizard.
expect_equal "$(helper foreground)" "QDRLDP 1"
expect_equal "$(opened_urls | wc -l)" 2
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
log "PASS"
