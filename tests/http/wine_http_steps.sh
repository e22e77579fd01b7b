# Steps of the HTTP client's Wine tests (tests/tray/wine_http_*.sh), sourced after
# tests/tray/harness.sh and its prepare_prefix.

readonly HTTP_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly HTTP_PROGRAM='C:\qdrl\qdrlhttptest.exe'

# Copies the test program in and makes a scratch folder (inside the prefix, which the
# harness removes) for the servers' ports and logs.
prepare_http_test() {
  cp "$TRAY_BIN"/qdrlhttptest.exe "$WINEPREFIX/drive_c/qdrl/"
  HTTP_WORK="$WINEPREFIX/http-work"
  mkdir -p "$HTTP_WORK"
  HTTP_OUT="$WINEPREFIX/drive_c/qdrl/out.bin"
}

# fetch_scenario SCENARIO SCHEME PATH [RECEIVE-TIMEOUT [CERTIFICATE]]: serves the
# scenario on loopback (TLS with the certificate $PKI/CERTIFICATE.pem of
# harness_tls.sh when given), fetches SCHEME://127.0.0.1:PORT/PATH with the program and
# keeps its output line in FETCH_RESULT and the server's port in HTTP_PORT.
fetch_scenario() {
  local scenario=$1 scheme=$2 path=$3 timeout=${4:-20} certificate=${5:-}
  local port_file=$HTTP_WORK/port log_file=$HTTP_WORK/log.json server_options=()
  rm -f "$port_file" "$log_file" "$HTTP_OUT"
  if [ -n "$certificate" ]; then
    server_options=(--cert "$PKI/$certificate.pem" --key "$PKI/$certificate.key")
  fi
  python3 "$HTTP_DIR/scripted_server.py" "$scenario" "$port_file" "$log_file" \
    "${server_options[@]}" &
  local server=$!
  local deadline=$((SECONDS + 20))
  while [ ! -s "$port_file" ]; do
    [ $SECONDS -lt $deadline ] || fail "server for $scenario did not start"
    sleep 0.1
  done
  HTTP_PORT=$(cat "$port_file")
  log "fetching $scheme://127.0.0.1:$HTTP_PORT$path ($scenario)"
  FETCH_RESULT=$(timeout 120 wine "$HTTP_PROGRAM" "$scheme://127.0.0.1:$HTTP_PORT$path" \
    'C:\qdrl\out.bin' "$timeout" 2>/dev/null | tr -d '\r' || true)
  log "result: $FETCH_RESULT"
  timeout 90 tail --pid="$server" -f /dev/null || fail "server for $scenario did not end"
  wait "$server" || fail "server for $scenario failed"
  cp "$log_file" "$TRAY_ARTIFACTS/$scenario-$scheme.json"
}

# What the server of the last scenario received, as JSON.
server_log() { cat "$HTTP_WORK/log.json"; }

# The request lines connection $1 received, joined by "|".
request_lines() {
  python3 -c 'import json, sys
received = json.load(open(sys.argv[1]))[int(sys.argv[2])]
print("|".join(line for line in received.split("\r\n") if line.startswith(("GET ", "HEAD "))))' \
    "$HTTP_WORK/log.json" "$1"
}
