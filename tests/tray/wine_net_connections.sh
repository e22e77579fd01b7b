#!/usr/bin/env bash
# The program's socket classes under Wine against servers on loopback: plain and TLS
# connections, time-outs, refused connections, aborts from another thread, which
# certificates the system's chain engine refuses (unknown authority, another name or
# address, expired), and international host names.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_tls.sh"
prepare_prefix
install_nettest
make_test_pki

readonly CANCELLED=0x00000000
readonly REFUSED=0x00010007          # "Connection refused (10061)."
readonly TIMEOUT=0x00020004          # "Select error timeout."
readonly CLOSED=0x00020007           # "Connection unexpectedly closed."
readonly TLS_FAILURE=0x00030004      # "A failure in the SSL library occurred, ..."

log "plain connections"
start_server echo_port echo
expect_equal "$(nettest echo 127.0.0.1 "$echo_port" 0 hello)" "ok hello"
expect_equal "$(nettest echo localhost "$echo_port" 0 named)" "ok named"
start_server bye_port bye
expect_equal "$(nettest receive 127.0.0.1 "$bye_port" 0 5)" "ok b"
start_server silent_port silent
expect_equal "$(nettest receive 127.0.0.1 "$silent_port" 0 1 || true)" "error $TIMEOUT"
expect_equal "$(nettest echo 127.0.0.1 "$(unused_port)" 0 x || true)" "error $REFUSED"

log "aborts from another thread"
start_server unanswered_port unanswered
expect_equal "$(nettest abort-connect 127.0.0.1 "$unanswered_port" 0 300 || true)" "error $CANCELLED"
expect_equal "$(nettest abort-receive 127.0.0.1 "$silent_port" 0 300 || true)" "error $CANCELLED"

log "TLS before the test authority is trusted"
start_server tls_port echo server
expect_equal "$(nettest echo localhost "$tls_port" 1 x || true)" "error $TLS_FAILURE"

log "TLS with the test authority in the user's trusted roots"
expect_equal "$(nettest add-root 'C:\pki\ca.der')" "ok"
expect_equal "$(nettest echo localhost "$tls_port" 1 secret)" "ok secret"
expect_equal "$(nettest echo 127.0.0.1 "$tls_port" 1 numeric)" "ok numeric"
start_server tls_bye_port bye server
expect_equal "$(nettest receive localhost "$tls_bye_port" 1 5)" "ok b"
start_server tls_silent_port silent server
expect_equal "$(nettest receive localhost "$tls_silent_port" 1 1 || true)" "error $TIMEOUT"
expect_equal "$(nettest abort-receive localhost "$tls_silent_port" 1 300 || true)" "error $CANCELLED"
expect_equal "$(nettest abort-connect 127.0.0.1 "$unanswered_port" 1 300 || true)" "error $CANCELLED"
start_server other_port echo other
expect_equal "$(nettest echo localhost "$other_port" 1 x || true)" "error $TLS_FAILURE"
expect_equal "$(nettest echo 127.0.0.1 "$other_port" 1 x || true)" "error $TLS_FAILURE"
start_server expired_port echo expired
expect_equal "$(nettest echo localhost "$expired_port" 1 x || true)" "error $TLS_FAILURE"
start_server stranger_port echo stranger
expect_equal "$(nettest echo localhost "$stranger_port" 1 x || true)" "error $TLS_FAILURE"

log "international host names"
expect_equal "$(nettest idn 'bücher.example' "$echo_port" 0 idn)" "$(printf 'ok idn\nasked xn--bcher-kva.example')"
expect_equal "$(nettest idn 'bücher.example' "$tls_port" 1 idn)" \
  "$(printf 'error %s\nasked xn--bcher-kva.example' "$TLS_FAILURE")"
log "PASS"
