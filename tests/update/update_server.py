#!/usr/bin/env python3
"""HTTPS update server for the update wizard's Wine tests.

update_server.py PORT_FILE LOG_FILE CERT KEY INSTALLER: listens on 127.0.0.1 with a
free port, writes the port to PORT_FILE and serves over TLS until killed:
  /setup             302 to /files/setup.exe (a Location relative to the host)
  /files/setup.exe   the INSTALLER file with its Content-Length, in 4 KiB pieces spread
                     over fifteen seconds, so that the progress bar has something to show
  /slow              a 64 MiB body 4 KiB every 100 ms: never finishes within a test
  /downgrade         302 to http://127.0.0.1:PORT/files/setup.exe, plain http
  /huge              a body whose Content-Length says 2 GiB, 4 KiB every 100 ms
  anything else      404
Every request line goes to LOG_FILE as it arrives, and "closed PATH" once the client
has gone away from a body it was being sent.
"""
import socket
import ssl
import sys
import threading
import time

PIECE = 4096


def log(log_file, line):
    with open(log_file, "a") as out:
        out.write(line + "\n")


def read_head(connection):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = connection.recv(4096)
        if not piece:
            return None
        data += piece
    return data.split(b"\r\n", 1)[0].decode("latin-1")


def send_body(connection, head, pieces, pause):
    connection.sendall(head)
    for piece in pieces:
        connection.sendall(piece)
        time.sleep(pause)


def serve(connection, log_file, installer):
    path = "?"
    with connection:
        try:
            request = read_head(connection)
            if request is None:
                return
            log(log_file, request)
            path = request.split(" ")[1]
            if path == "/setup":
                connection.sendall(b"HTTP/1.1 302 Found\r\nLocation: /files/setup.exe\r\n"
                                   b"Content-Length: 0\r\nConnection: close\r\n\r\n")
            elif path == "/files/setup.exe":
                head = (f"HTTP/1.1 200 OK\r\nContent-Length: {len(installer)}\r\n"
                        "Connection: close\r\n\r\n").encode()
                pieces = [installer[at:at + PIECE] for at in range(0, len(installer), PIECE)]
                send_body(connection, head, pieces, 15 / len(pieces))
            elif path == "/downgrade":
                port = connection.getsockname()[1]
                connection.sendall(f"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:{port}"
                                   "/files/setup.exe\r\nContent-Length: 0\r\n"
                                   "Connection: close\r\n\r\n".encode())
            elif path == "/huge":
                size = 2 << 30
                head = f"HTTP/1.1 200 OK\r\nContent-Length: {size}\r\nConnection: close\r\n\r\n"
                send_body(connection, head.encode(), (b"x" * PIECE for _ in range(size // PIECE)), 0.1)
            elif path == "/slow":
                size = 64 << 20
                head = f"HTTP/1.1 200 OK\r\nContent-Length: {size}\r\nConnection: close\r\n\r\n"
                send_body(connection, head.encode(), (b"x" * PIECE for _ in range(size // PIECE)), 0.1)
            else:
                connection.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                   b"Connection: close\r\n\r\n")
        except (OSError, ssl.SSLError):
            log(log_file, f"closed {path}")


# Each connection shakes hands on its own thread, so one client that stalls in the
# handshake holds up no other; a handshake that takes over 30 s is given up.
def handshake_and_serve(raw, context, log_file, installer):
    raw.settimeout(30)
    try:
        connection = context.wrap_socket(raw, server_side=True)
    except (OSError, ssl.SSLError) as error:
        log(log_file, f"handshake failed: {error}")
        raw.close()
        return
    connection.settimeout(None)
    serve(connection, log_file, installer)


def main():
    port_file, log_file, cert, key, installer_path = sys.argv[1:6]
    installer = open(installer_path, "rb").read()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    with open(port_file, "w") as out:
        out.write(str(listener.getsockname()[1]))
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=handshake_and_serve, args=(raw, context, log_file, installer),
                         daemon=True).start()


if __name__ == "__main__":
    main()
