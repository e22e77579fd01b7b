# Shared steps of the tray program's Wine tests; sourced by each test script, which
# runs under its own X server (xvfb-run, started by CTest).
#
# Environment: TRAY_BIN (folder with qdrlgui.exe, qdrlgui_foreign_translation.exe and
# qdrltest.exe), TRAY_ARTIFACTS (folder for this test's screenshots and logs).
#
# Each test gets a fresh WINEPREFIX in a temporary folder whose only desktop is the
# virtual desktop "qdrl" with a taskbar, so the program, the helper and every other
# Wine process of the test see the same windows. Every wait is bounded.
set -euo pipefail

: "${TRAY_BIN:?}" "${TRAY_ARTIFACTS:?}"
mkdir -p "$TRAY_ARTIFACTS"

export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/qdrl-wine.XXXXXX")
export WINEPREFIX
readonly DESKTOP=qdrl
readonly PROGRAM='C:\qdrl\qdrlgui.exe'
readonly FOREIGN_PROGRAM='C:\qdrl\qdrlgui_foreign_translation.exe'

harness_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  # wineserver -k returns before the server is gone; give it a moment.
  timeout 20 wineserver -w >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap harness_cleanup EXIT

log() { echo "[$(date +%T)] $*" >&2; }
# Logs a test appends here are printed when it fails, so the test's own output keeps
# them after a rerun has overwritten the artifacts.
FAIL_LOGS=()
fail() {
  log "FAIL: $*"
  local file
  for file in "${FAIL_LOGS[@]}"; do
    [ -f "$file" ] && { log "--- $file"; cat "$file" >&2; }
  done
  screenshot failure || true
  exit 1
}

# Creates the prefix, makes "qdrl" the default desktop with a shell (taskbar and
# notification area), records opened addresses instead of opening them, and copies the
# programs in.
prepare_prefix() {
  log "creating Wine prefix $WINEPREFIX"
  timeout 240 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wineserver -w || fail "wineboot did not settle"
  wine_quiet reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d "$DESKTOP" /f
  wine_quiet reg add 'HKCU\Software\Wine\Explorer\Desktops' /v "$DESKTOP" /t REG_SZ /d 1024x768 /f
  wine_quiet reg add "HKCU\\Software\\Wine\\Explorer\\Desktops\\$DESKTOP" /v EnableShell /t REG_DWORD /d 1 /f
  # No address the program opens may reach a browser of the machine running the tests.
  record_opened_urls
  mkdir -p "$WINEPREFIX/drive_c/qdrl"
  cp "$TRAY_BIN"/qdrlgui.exe "$TRAY_BIN"/qdrlgui_foreign_translation.exe \
     "$TRAY_BIN"/qdrltest.exe "$WINEPREFIX/drive_c/qdrl/"
}

wine_quiet() { timeout 60 wine "$@" >/dev/null 2>&1 || fail "wine $* failed"; }

# Runs the helper; prints its output without carriage returns and keeps its exit code.
helper() {
  local status=0
  timeout 120 wine 'C:\qdrl\qdrltest.exe' "$@" 2>/dev/null | tr -d '\r' || status=$?
  return "$status"
}

# Starts a program inside the virtual desktop, as a user's session would, in the
# background; the desktop's taskbar comes up with it.
start_in_desktop() {
  log "starting $1 in desktop $DESKTOP"
  wine explorer "/desktop=$DESKTOP,1024x768" "$1" >/dev/null 2>&1 &
}

# Waits until a top-level window of class $1 exists (at most $2 seconds).
wait_for_window() {
  helper find "$1" "$(($2 * 1000))" >/dev/null || fail "no window of class $1 after $2 s"
}

# Starts qdrlgui in the desktop and waits for its tray window.
start_tray() {
  start_in_desktop "${1:-$PROGRAM}"
  wait_for_window QDRLGUI 60
}

screenshot() {
  local file="$TRAY_ARTIFACTS/$1.png"
  import -window root "$file"
  log "screenshot $file"
}

# Fails unless the text $1 contains the line or fragment $2.
expect_contains() {
  grep -qF -- "$2" <<<"$1" || fail "expected '$2' in: $1"
}

expect_equal() {
  [ "$1" = "$2" ] || fail "expected '$2', got '$1'"
}

# Makes Wine report Windows $1 (major.minor) with build $2 to every program.
set_windows_version() {
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
  wine_quiet reg add "$key" /v CurrentVersion /t REG_SZ /d "$1" /f
  wine_quiet reg add "$key" /v CurrentBuildNumber /t REG_SZ /d "$2" /f
  wine_quiet reg add "$key" /v CurrentBuild /t REG_SZ /d "$2" /f
  wine_quiet reg add "$key" /v CSDVersion /t REG_SZ /d "" /f
  expect_equal "$(helper os-version)" "$1.$2"
}

# The text on the screen: a screenshot read by OCR (enlarged first, since the
# desktop's fonts are small), on one line, kept beside the screenshot.
screen_text() {
  screenshot "$1"
  convert "$TRAY_ARTIFACTS/$1.png" -resize 300% -colorspace Gray "$TRAY_ARTIFACTS/$1.ocr.png"
  tesseract "$TRAY_ARTIFACTS/$1.ocr.png" - 2>/dev/null | tr -s ' \n' ' ' | tee "$TRAY_ARTIFACTS/$1.txt"
  rm -f "$TRAY_ARTIFACTS/$1.ocr.png"
}

# Waits (at most $2 seconds) until the screen shows every fragment in $3...; the last
# screenshot is kept as $1.png.
expect_on_screen() {
  local name=$1 seconds=$2; shift 2
  local deadline=$((SECONDS + seconds)) text missing
  while :; do
    text=$(screen_text "$name")
    missing=""
    for fragment in "$@"; do grep -qF -- "$fragment" <<<"$text" || missing=$fragment; done
    [ -z "$missing" ] && return 0
    [ "$SECONDS" -ge "$deadline" ] && fail "'$missing' not on screen: $text"
    sleep 1
  done
}

# Counts the pixels of colour $2 (with 8% tolerance) in the region $3 (WxH+X+Y) of
# screenshot $1.
count_pixels() {
  convert "$TRAY_ARTIFACTS/$1.png" -crop "$3" +repage -fuzz 8% -fill black +opaque "$2" \
    -fill white -opaque "$2" -format '%[fx:round(mean*w*h)]' info:
}

# The notification area's corner of the taskbar, where the program's icon sits.
readonly NOTIFICATION_AREA=60x24+964+744
readonly ICON_RUNNING_COLOUR='#2e9e44'
readonly ICON_STOPPED_COLOUR='#8c8c8c'
readonly ICON_PROGRAM_COLOUR='#2a64c8'

# The centre of the program's icon, for the mouse.
readonly ICON_POSITION="1014 756"

# The text in region $2 (WxH+X+Y) of the screen, read by OCR from a larger copy: small
# windows such as tooltips are read better alone. The screenshot is kept as $1.png.
region_text() {
  screenshot "$1"
  convert "$TRAY_ARTIFACTS/$1.png" -crop "$2" +repage -resize 400% -colorspace Gray -threshold 60% \
    "$TRAY_ARTIFACTS/$1.ocr.png"
  tesseract "$TRAY_ARTIFACTS/$1.ocr.png" - 2>/dev/null | tr -s ' \n' ' ' | tee "$TRAY_ARTIFACTS/$1.txt"
  rm -f "$TRAY_ARTIFACTS/$1.ocr.png"
}

# Waits (at most $3 seconds) until the notification area shows more than 20 pixels of
# colour $2; the last screenshot is kept as $1.png.
wait_for_icon_colour() {
  local deadline=$((SECONDS + $3))
  until screenshot "$1" && [ "$(count_pixels "$1" "$2" "$NOTIFICATION_AREA")" -gt 20 ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the notification area never showed $2"
    sleep 0.5
  done
}

readonly SERVICE_EVENT='Global\QUADREL_SR_EVENT'

# Starts holding the service's event in the background, as the running service does,
# and waits until it counts; release_service_event ends it.
hold_service_event() {
  helper hold-event "$SERVICE_EVENT" 300000 >/dev/null &
  SERVICE_HOLDER=$!
  local deadline=$((SECONDS + 30))
  until [ "$(helper service-running)" = 1 ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the event never counted as a running service"
    sleep 0.5
  done
}

release_service_event() {
  helper release-event "$SERVICE_EVENT" || fail "could not release the event"
  wait "$SERVICE_HOLDER" || fail "the event holder did not end"
}

# Makes the helper the shell's handler of https addresses, so that every address the
# program opens is appended to opened-urls.txt instead of reaching a browser.
record_opened_urls() {
  wine_quiet reg add 'HKCR\https\shell\open\command' /ve /t REG_SZ \
    /d '"C:\qdrl\qdrltest.exe" record-url "%1"' /f
}

opened_urls() { tr -d '\r' <"$WINEPREFIX/drive_c/qdrl/opened-urls.txt" 2>/dev/null || true; }

# The value of "NAME VALUE..." line $2 of a helper description $1 (first match).
described() { grep -m1 "^$2 " <<<"$1" | cut -d' ' -f2-; }

# Fails unless the window rectangle in description $1 is centered in its work area
# (to the pixel, with integer division).
expect_centered_in_work_area() {
  local l t r b wl wt wr wb
  read -r l t r b <<<"$(described "$1" rect)"
  read -r wl wt wr wb <<<"$(described "$1" work-area)"
  expect_equal "$l $t" "$(((wl + wr) / 2 - (r - l) / 2)) $(((wt + wb) / 2 - (b - t) / 2))"
}
