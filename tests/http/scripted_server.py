#!/usr/bin/env python3
"""Scripted HTTP server on loopback for the HTTP client's Wine tests.

Serves one named scenario: each connection, in the order they come, reads request
heads and answers with its scripted replies. Writes the port it listens on to
PORT_FILE once listening and, when the scenario is over, what each connection
received to LOG_FILE (JSON list of strings, Latin-1). TLS when --cert and --key are
given. Every wait is bounded.

    scripted_server.py SCENARIO PORT_FILE LOG_FILE [--cert PEM --key PEM]
"""
import argparse
import os
import json
import socket
import ssl

WAIT_SECONDS = 60


def found(location, fields=""):
    return ("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 3\r\n%s\r\n302"
            % (location, fields))


def body_of(size):
    return "".join(chr(ord("a") + i % 26) for i in range(size))


# Scenario name -> connections; a connection is (replies, close after the last reply).
# A reply of None answers nothing and waits until the client goes away.
SCENARIOS = {
    "chain": [([found("/b"), found("/c?x=1"),
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                "6;ext=\"a;b\"\r\nchunk-\r\nA\r\n0123456789\r\n0;last\r\n"
                "Trailer: 1\r\nOther: 2\r\n\r\n"], False)],
    "close-token": [([found("/b", "Connection: Close\r\n")], False),
                    (["HTTP/1.0 302 Found\r\nLocation: /c\r\nContent-Length: 0\r\n\r\n"], False),
                    (["HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone"], False)],
    "to-close": [(["HTTP/1.1 200 OK\r\n\r\n" + body_of(5000)], True)],
    "early-close": [(["HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten.."], True)],
    "silent": [([None], False)],
    "not-found": [(["HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing"], False)],
    # Served with a certificate the client does not trust: the handshake fails.
    "untrusted": [(["HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"], False)],
}


def read_until_end(conn, received):
    while True:
        data = conn.recv(4096)
        if not data:
            return
        received.append(data)


def serve_connection(conn, replies, close_after, received):
    pending = b""
    for reply in replies:
        while b"\r\n\r\n" not in pending:
            data = conn.recv(4096)
            if not data:
                return
            received.append(data)
            pending += data
        pending = pending[pending.index(b"\r\n\r\n") + 4:]
        if reply is None:
            read_until_end(conn, received)
            return
        conn.sendall(reply.encode("latin-1"))
    if not close_after:
        read_until_end(conn, received)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("port_file")
    parser.add_argument("log_file")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT_SECONDS)
    with open(args.port_file + ".tmp", "w") as port_file:
        port_file.write(str(listener.getsockname()[1]))
    # Renamed into place so that the script never reads a half-written port.
    os.replace(args.port_file + ".tmp", args.port_file)

    log = []
    try:
        for replies, close_after in SCENARIOS[args.scenario]:
            conn, _ = listener.accept()
            conn.settimeout(WAIT_SECONDS)
            received = []
            try:
                if context:
                    conn = context.wrap_socket(conn, server_side=True)
                serve_connection(conn, replies, close_after, received)
                if context and close_after:
                    conn.unwrap()
            except (OSError, ssl.SSLError):
                pass
            finally:
                conn.close()
                log.append(b"".join(received).decode("latin-1"))
    except socket.timeout:
        pass
    with open(args.log_file, "w") as log_file:
        json.dump(log, log_file)


if __name__ == "__main__":
    main()
