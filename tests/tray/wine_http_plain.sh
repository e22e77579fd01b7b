#!/bin/bash
# The HTTP client over Windows Sockets under Wine against scripted servers on loopback:
# a redirect chain on one kept-alive connection ending in a chunked body with
# extensions and trailers, a server asking to close ("Close", HTTP/1.0), a body read
# until the server closes, a server closing early, an error page, and a server that
# never answers.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/../http/wine_http_steps.sh"

prepare_prefix
prepare_http_test

fetch_scenario chain http /a
expect_equal "$FETCH_RESULT" "ok 200 16 1"
expect_equal "$(cat "$HTTP_OUT")" "chunk-0123456789"
expect_equal "$(request_lines 0)" "GET /a HTTP/1.1|GET /b HTTP/1.1|GET /c?x=1 HTTP/1.1"
expect_contains "$(server_log)" "Host: 127.0.0.1:$HTTP_PORT\\r\\nAccept: */*\\r\\nAccept-Encoding: \\r\\nUser-Agent: Quadrel 1.02.0 64-bit; Windows NT 10.0\\r\\nConnection: Keep-Alive\\r\\n\\r\\n"

fetch_scenario close-token http /a
expect_equal "$FETCH_RESULT" "ok 200 4 3"
expect_equal "$(cat "$HTTP_OUT")" "done"

fetch_scenario to-close http /
expect_equal "$FETCH_RESULT" "ok 200 5000 1"
expect_equal "$(wc -c < "$HTTP_OUT")" 5000

fetch_scenario early-close http /
expect_equal "$FETCH_RESULT" "error 0x00020007 1"
expect_equal "$(cat "$HTTP_OUT")" "only ten.."

fetch_scenario not-found http /
expect_equal "$FETCH_RESULT" "error 0x00070005 1"
expect_equal "$(cat "$HTTP_OUT")" "missing"

fetch_scenario silent http / 1
expect_equal "$FETCH_RESULT" "error 0x00020004 1"
log "PASS"
