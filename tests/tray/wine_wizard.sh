#!/usr/bin/env bash
# The wizard of the dialog framework, with two demonstration pages on the product's
# page templates (the helper links the framework and reads the templates from
# qdrlgui.exe): title and subtitle from the page, the title in bold, the page's buttons
# on the wizard's last buttons, the page in the page area, the first button focused, a
# button press reaching the page, and Esc and the close box reaching the current page's
# cancel.
source "$(dirname "$0")/harness.sh"
prepare_prefix

start_wizard() {
  helper wizard-demo >"$TRAY_ARTIFACTS/$1.txt" &
  WIZARD=$!
}

# Clicks control $1 of the wizard with the mouse.
click_control() {
  local at
  at=$(helper center '#32770' Demonstration "$1" 10000) || fail "no control $1"
  xdotool mousemove $at click 1
}

# Waits for the demonstration to end and checks the result it printed.
expect_wizard_result() {
  wait "$WIZARD" || fail "the wizard did not end"
  expect_equal "$(grep result "$TRAY_ARTIFACTS/$1.txt")" "result $2"
}

start_wizard first-run
page=$(helper describe-dialog Demonstration 30000) || fail "no wizard"
printf '%s\n' "$page" >"$TRAY_ARTIFACTS/first-page.txt"
expect_contains "$page" "control 1160 Static visible=1 enabled=1"
expect_contains "$page" "text=Demonstration wizard"
expect_contains "$page" "text=The first of two pages."
for hidden in 1161 1162; do expect_contains "$page" "control $hidden Button visible=0 enabled=0"; done
expect_equal "$(grep -c 'Button visible=1 enabled=1' <<<"$page")" 3
expect_contains "$(grep 'control 1163 ' <<<"$page")" "text=Next"
expect_contains "$(grep 'control 1164 ' <<<"$page")" "text=Later"
expect_contains "$(grep 'control 1165 ' <<<"$page")" "text=Skip"
expect_contains "$page" "focus: 1163"
expect_contains "$page" "text=Description of the first page."
# The visible page lies exactly on the hidden frame that marks the page area.
area=$(grep 'control 1166 ' <<<"$page" | grep -o 'rect=[^ ]*')
expect_contains "$page" "#32770 visible=1 enabled=1 $area"
expect_centered_in_work_area "$page"
expect_on_screen first-page 10 "Demonstration wizard" "The first of two pages." \
  "Headline of the first page." "Description of the first page."

click_control 1163
deadline=$((SECONDS + 10))
until page=$(helper describe-dialog Demonstration 5000) && grep -q "text=The second of two pages." <<<"$page"; do
  [ "$SECONDS" -lt "$deadline" ] || fail "Next did not show the second page"
  sleep 0.5
done
printf '%s\n' "$page" >"$TRAY_ARTIFACTS/second-page.txt"
for hidden in 1161 1162 1163 1164; do expect_contains "$page" "control $hidden Button visible=0 enabled=0"; done
expect_contains "$(grep 'control 1165 ' <<<"$page")" "visible=1 enabled=1"
expect_contains "$(grep 'control 1165 ' <<<"$page")" "text=Stop"
expect_contains "$page" "focus: 1165"
expect_contains "$page" "text=Working..."
expect_contains "$page" "#32770 visible=1 enabled=1 $area"
expect_on_screen second-page 10 "The second of two pages." \
  "Please wait while the update installer is being downloaded." "Working..."

# Esc reaches the page, which first only asks to stop and disables its button.
xdotool key Escape
deadline=$((SECONDS + 10))
until page=$(helper describe-dialog Demonstration 5000) && grep -q "text=Stopping..." <<<"$page"; do
  [ "$SECONDS" -lt "$deadline" ] || fail "Esc did not reach the page"
  sleep 0.5
done
expect_contains "$(grep 'control 1165 ' <<<"$page")" "visible=1 enabled=0"
screenshot stopping
# The second request, with the close box, ends the wizard.
helper close-dialog Demonstration || fail "no wizard to close"
expect_wizard_result first-run 2
# What the first page saw of the title's font (10 points at 96 dots per inch, bold).
expect_equal "$(grep 'title font' "$TRAY_ARTIFACTS/first-run.txt")" "title font weight=700 height=-13"

# The page's third button sits on the wizard's last one.
start_wizard second-run
helper describe-dialog Demonstration 30000 >/dev/null || fail "no wizard"
click_control 1165
expect_wizard_result second-run 3
log "PASS"
