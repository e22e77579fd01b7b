#!/usr/bin/env bash
# The About command, driven with the mouse on the icon: the context menu's one item and
# a double click. While the service is stopped it warns instead; while it runs the About
# box shows the product, its version, web address and copyright, centered in the work
# area and owned by a hidden dialog parent; a second command while it is open is ignored.
source "$(dirname "$0")/harness.sh"
readonly NOT_RUNNING_TEXT="Static: The Quadrel Service (qdrlsvc) Windows service is not running.

Start this service or restart Windows."
prepare_prefix
start_tray
wait_for_icon_colour stopped "$ICON_STOPPED_COLOUR" 10

# The context menu, then its item.
xdotool mousemove $ICON_POSITION click 3
expect_on_screen context-menu 10 "About Quadrel"
item=$(helper center '#32768' - 0 10000) || fail "no context menu"
xdotool mousemove $item click 1
box=$(helper message-box Quadrel 20000) || fail "no warning from the menu item"
expect_contains "$box" "owner: QDRLDP"
expect_contains "$box" "$NOT_RUNNING_TEXT"
expect_on_screen service-not-running 10 "Windows service is not running." \
  "Start this service or restart Windows."
expect_equal "$(helper count-message-boxes "About Quadrel")" 0
helper dismiss Quadrel >/dev/null

# A double click.
sleep 1
xdotool mousemove $ICON_POSITION click --repeat 2 --delay 100 1
box=$(helper message-box Quadrel 20000) || fail "no warning from the double click"
expect_contains "$box" "$NOT_RUNNING_TEXT"
helper dismiss Quadrel >/dev/null

hold_service_event
wait_for_icon_colour running "$ICON_RUNNING_COLOUR" 10
xdotool mousemove $ICON_POSITION click --repeat 2 --delay 100 1
about=$(helper describe-dialog "About Quadrel" 20000) || fail "no About box"
printf '%s\n' "$about" >"$TRAY_ARTIFACTS/about.txt"
expect_contains "$about" "owner: QDRLDP visible=0"
expect_contains "$about" "appwindow: 1"
expect_contains "$about" "text=Quadrel version 1.00"
expect_contains "$about" "control 1012 Static visible=1"
expect_contains "$about" "text=https://quadrel.example/"
expect_contains "$about" "text=Copyright (C) 2026 the Quadrel developers"
expect_centered_in_work_area "$about"
# (The caption, white on the title bar, is checked through the window's title.)
expect_on_screen about-box 10 "Quadrel version 1.00" "https://quadrel.example/" \
  "Copyright (C) 2026 the Quadrel developers"
# The icon control took the size of the 48 x 48 program icon, which fills it (a 32 x 32
# picture would cover less than half as much: about 410 pixels against 920).
IFS=, read -r l t r b <<<"$(grep 'control 1009 ' <<<"$about" | grep -o 'rect=[^ ]*' | cut -d= -f2)"
expect_equal "$((r - l))x$((b - t))" 48x48
[ "$(count_pixels about-box "$ICON_PROGRAM_COLOUR" "48x48+$l+$t")" -gt 700 ] ||
  fail "the About box does not show the 48 x 48 program icon"

# Only one About box at a time.
xdotool mousemove $ICON_POSITION click --repeat 2 --delay 100 1
sleep 2
expect_equal "$(helper count-message-boxes "About Quadrel")" 1

# Esc closes it (after a click on it: the ignored command brought the hidden dialog
# parent to the front); the menu item opens it again.
xdotool mousemove $(helper center '#32770' "About Quadrel" 0 5000) click 1
sleep 0.5
xdotool key Escape
deadline=$((SECONDS + 10))
until [ "$(helper count-message-boxes "About Quadrel")" = 0 ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "Esc did not close the About box"
  sleep 0.5
done
xdotool mousemove $ICON_POSITION click 3
item=$(helper center '#32768' - 0 10000) || fail "no context menu"
xdotool mousemove $item click 1
helper describe-dialog "About Quadrel" 20000 >/dev/null || fail "no About box from the menu"

# Closing the program with the box open ends every dialog-parent thread.
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
expect_equal "$(helper count-message-boxes "About Quadrel")" 0
release_service_event
log "PASS"
