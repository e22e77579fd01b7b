#!/usr/bin/env bash
# The service's named event decides what IsServiceRunning reports, and the program
# starts with the matching icon.
source "$(dirname "$0")/harness.sh"
readonly EVENT='Global\QUADREL_SR_EVENT'
prepare_prefix
expect_equal "$(helper service-running)" 0

helper hold-event "$EVENT" 120000 >"$TRAY_ARTIFACTS/holder.txt" &
holder=$!
deadline=$((SECONDS + 30))
until [ "$(helper service-running)" = 1 ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "the event never counted as a running service"
  sleep 1
done

start_tray
sleep 2
screenshot service-running
[ "$(count_pixels service-running "$ICON_RUNNING_COLOUR" "$NOTIFICATION_AREA")" -gt 20 ] ||
  fail "the notification area shows no running-service icon"
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"

helper release-event "$EVENT" || fail "could not release the event"
wait "$holder" || fail "the event holder did not end"
expect_equal "$(helper service-running)" 0
log "PASS"
