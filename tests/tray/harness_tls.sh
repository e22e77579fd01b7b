# Test certificates and loopback servers for the Wine network tests; sourced after
# harness.sh.
#
# make_test_pki makes, in $PKI: a test authority (ca.pem, ca.der), a server
# certificate for localhost and 127.0.0.1 (server.pem, server.key), one for another
# host (other.pem, other.key), a server certificate of a second, untrusted
# authority (stranger.pem, stranger.key), one
# for localhost that expired yesterday (expired.pem, expired.key).
PKI="$WINEPREFIX/drive_c/pki"
SERVER_PIDS=()

pki_issue() {  # name, authority, subjectAltName
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" \
    -keyout "$PKI/$1.key" -out "$PKI/$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" >"$PKI/$1.ext"
  openssl x509 -req -in "$PKI/$1.csr" -CA "$PKI/$2.pem" -CAkey "$PKI/$2.key" -CAcreateserial \
    -days 7 -sha256 -extfile "$PKI/$1.ext" -out "$PKI/$1.pem" 2>/dev/null
}

pki_authority() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 7 -sha256 \
    -subj "/CN=Quadrel Test $1" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$PKI/$1.key" -out "$PKI/$1.pem" 2>/dev/null
}

# A certificate for localhost from authority ca, valid for a day that ended yesterday
# (the openssl command cannot date one in the past).
pki_issue_expired() {
  python3 - "$PKI" <<'PY'
import datetime, sys
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
pki = sys.argv[1]
ca_key = serialization.load_pem_private_key(open(f"{pki}/ca.key", "rb").read(), None)
ca = x509.load_pem_x509_certificate(open(f"{pki}/ca.pem", "rb").read())
key = ec.generate_private_key(ec.SECP256R1())
now = datetime.datetime.now(datetime.timezone.utc)
cert = (x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "expired")]))
        .issuer_name(ca.subject).public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=2))
        .not_valid_after(now - datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.DNSName("localhost")]), False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)
        .sign(ca_key, hashes.SHA256()))
open(f"{pki}/expired.pem", "wb").write(cert.public_bytes(serialization.Encoding.PEM))
open(f"{pki}/expired.key", "wb").write(key.private_bytes(
    serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
PY
}

make_test_pki() {
  mkdir -p "$PKI"
  pki_authority ca
  pki_authority strangerca
  pki_issue server ca "DNS:localhost,IP:127.0.0.1"
  pki_issue other ca "DNS:other.example"
  pki_issue stranger strangerca "DNS:localhost"
  pki_issue_expired
  openssl x509 -in "$PKI/ca.pem" -outform DER -out "$PKI/ca.der"
  [ -s "$PKI/server.pem" ] && [ -s "$PKI/stranger.pem" ] || fail "test certificates not made"
}

# Starts `net_server.py MODE` (TLS with certificate NAME when given) and stores its
# port in the variable VAR. Runs in the script's own shell so that the server is
# stopped at the end.
start_server() {  # var mode [certificate name]
  local var=$1 mode=$2 port_file
  port_file=$(mktemp "$WINEPREFIX/port.XXXXXX")
  rm -f "$port_file"
  local tls=()
  [ $# -eq 3 ] && tls=("$PKI/$3.pem" "$PKI/$3.key")
  python3 "$(dirname "${BASH_SOURCE[0]}")/net_server.py" "$mode" "$port_file" "${tls[@]}" \
    >>"$TRAY_ARTIFACTS/servers.log" 2>&1 &
  SERVER_PIDS+=($!)
  local waited=0
  until [ -s "$port_file" ]; do
    sleep 0.1
    waited=$((waited + 1))
    [ "$waited" -lt 100 ] || fail "server $mode did not start"
  done
  printf -v "$var" '%s' "$(cat "$port_file")"
}

stop_servers() {
  local pid
  for pid in "${SERVER_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  SERVER_PIDS=()
}

# A port nothing listens on.
unused_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Runs qdrlnettest.exe; prints its output without carriage returns.
nettest() {
  local status=0
  LC_ALL=C.UTF-8 timeout 120 wine 'C:\qdrl\qdrlnettest.exe' "$@" 2>/dev/null | tr -d '\r' || status=$?
  return "$status"
}

install_nettest() {
  cp "$TRAY_BIN/qdrlnettest.exe" "$WINEPREFIX/drive_c/qdrl/"
}

trap 'stop_servers; harness_cleanup' EXIT
