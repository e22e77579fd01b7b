#!/bin/bash
# The HTTP client over TLS under Wine, the server's certificate checked against the
# user's root store holding the test authority: a redirect chain on one kept-alive
# connection ending in a chunked body, a body read until the server's close
# notification, a server closing early, and a certificate of an untrusted authority
# refused.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_tls.sh"
source "$(dirname "$0")/../http/wine_http_steps.sh"

prepare_prefix
prepare_http_test
make_test_pki
install_nettest
expect_equal "$(nettest add-root 'C:\pki\ca.der')" "ok"

fetch_scenario chain https /a 20 server
expect_equal "$FETCH_RESULT" "ok 200 16 1"
expect_equal "$(cat "$HTTP_OUT")" "chunk-0123456789"
expect_equal "$(request_lines 0)" "GET /a HTTP/1.1|GET /b HTTP/1.1|GET /c?x=1 HTTP/1.1"

fetch_scenario to-close https / 20 server
expect_equal "$FETCH_RESULT" "ok 200 5000 1"
expect_equal "$(wc -c < "$HTTP_OUT")" 5000

fetch_scenario early-close https / 20 server
expect_equal "$FETCH_RESULT" "error 0x00020007 1"
expect_equal "$(cat "$HTTP_OUT")" "only ten.."

fetch_scenario untrusted https / 20 stranger
expect_equal "$FETCH_RESULT" "error 0x00030004 0"
log "PASS"
