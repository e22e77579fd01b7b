#!/usr/bin/env bash
# Ending the Windows session: every window of the program agrees to end it, the icon
# goes away with WM_ENDSESSION while the program keeps running (notices, icon events and
# timer ticks arriving then find no icon and do nothing), and WM_CLOSE still ends it
# with exit code 0.
source "$(dirname "$0")/harness.sh"
readonly WM_QUERYENDSESSION=0x11 WM_ENDSESSION=0x16 WM_TIMER=0x113
readonly WM_TRAY_NOTICE=0x8002 WM_TRAY_ICON=0x800A NIN_BALLOONUSERCLICK=0x405
prepare_prefix
start_tray
expect_equal "$(helper send-all QDRLGUI $WM_QUERYENDSESSION 0 0)" 1
expect_equal "$(helper send-all QDRLDP $WM_QUERYENDSESSION 0 0 | sort -u)" 1
expect_equal "$(helper send-all QDRLDP $WM_QUERYENDSESSION 0 0 | wc -l)" 3

screenshot before-session-end
[ "$(count_pixels before-session-end "$ICON_STOPPED_COLOUR" "$NOTIFICATION_AREA")" -gt 20 ] ||
  fail "no icon before the session ends"
helper send-all QDRLGUI $WM_ENDSESSION 1 0 >/dev/null
sleep 2
screenshot after-session-end
[ "$(count_pixels after-session-end "$ICON_STOPPED_COLOUR" "$NOTIFICATION_AREA")" -lt 5 ] ||
  fail "the icon is still there after the session ended"
# Messages that still arrive find no icon object and leave the icon away: a notice, a
# balloon click, a timer tick that was already queued, now with the service running.
hold_service_event
helper post QDRLGUI $WM_TRAY_NOTICE 1 0 || fail "the tray window is gone"
helper post QDRLGUI $WM_TRAY_ICON 0 $NIN_BALLOONUSERCLICK || fail "the tray window is gone"
helper post QDRLGUI $WM_TIMER 1 0 || fail "the tray window is gone"
sleep 2
screenshot after-late-messages
[ "$(count_pixels after-late-messages "$ICON_RUNNING_COLOUR" "$NOTIFICATION_AREA")" -lt 5 ] ||
  fail "a late timer tick brought the icon back"
expect_equal "$(helper count QDRLGUI)" 1
release_service_event
expect_equal "$(helper close-and-wait QDRLGUI 30000)" "exit 0"
log "PASS"
