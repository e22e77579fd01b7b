#!/usr/bin/env bash
# The icon in the notification area: its look follows the service within a timer tick
# (3 s) as the service's event appears and goes away, its tooltip is the product name,
# and an icon the notification area lost comes back within a tick. (An icon counts as
# shown with more than 20 pixels of its colour; the edges of the other icon blend into
# a few.)
source "$(dirname "$0")/harness.sh"
readonly TICK_WITH_MARGIN=8  # the 3-second timer, plus time for the screenshots
prepare_prefix
start_tray
wait_for_icon_colour stopped-at-start "$ICON_STOPPED_COLOUR" 10

hold_service_event
wait_for_icon_colour service-started "$ICON_RUNNING_COLOUR" $TICK_WITH_MARGIN
[ "$(count_pixels service-started "$ICON_STOPPED_COLOUR" "$NOTIFICATION_AREA")" -le 20 ] ||
  fail "the stopped-service icon is still shown"
release_service_event
wait_for_icon_colour service-stopped "$ICON_STOPPED_COLOUR" $TICK_WITH_MARGIN
[ "$(count_pixels service-stopped "$ICON_RUNNING_COLOUR" "$NOTIFICATION_AREA")" -le 20 ] ||
  fail "the running-service icon is still shown"

# The tooltip: the mouse comes to rest on the icon (again until the tooltip is seen,
# since it goes away after a few seconds).
deadline=$((SECONDS + 20))
until xdotool mousemove 900 600 sleep 0.3 mousemove $ICON_POSITION sleep 1.5 &&
      [ "$(region_text tooltip 200x60+824+700)" = "Quadrel " ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "no tooltip 'Quadrel': $(cat "$TRAY_ARTIFACTS/tooltip.txt")"
done
xdotool mousemove 500 300

# The notification area loses the icon (as when the taskbar is re-created).
helper delete-icon QDRLGUI || fail "could not take the icon away"
sleep 0.5
screenshot icon-lost
if [ "$(count_pixels icon-lost "$ICON_STOPPED_COLOUR" "$NOTIFICATION_AREA")" -lt 5 ]; then
  wait_for_icon_colour icon-back "$ICON_STOPPED_COLOUR" $TICK_WITH_MARGIN
else
  log "the icon came back before the screenshot"  # a tick fell in between
fi
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
log "PASS"
