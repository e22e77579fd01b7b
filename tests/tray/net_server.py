#!/usr/bin/env python3
"""Loopback servers for the Wine network tests.

net_server.py MODE PORT_FILE [CERT KEY]: listens on 127.0.0.1 with a free port, writes
the port to PORT_FILE and serves until killed. With CERT and KEY every connection is
TLS. Modes:
  echo        sends back whatever arrives, until the client ends
  bye         sends "bye" and closes (TLS: with a close notification)
  silent      accepts and says nothing, until the client ends
  unanswered  never accepts, and fills its queue so that further connects hang
"""
import socket
import ssl
import sys
import threading


def serve_connection(mode, connection):
    with connection:
        try:
            if mode == "bye":
                connection.sendall(b"bye")
                if isinstance(connection, ssl.SSLSocket):
                    connection.unwrap()
                return
            while True:
                data = connection.recv(65536)
                if not data:
                    return
                if mode == "echo":
                    connection.sendall(data)
        except (OSError, ssl.SSLError):
            return


def main():
    mode, port_file = sys.argv[1], sys.argv[2]
    context = None
    if len(sys.argv) == 5:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    if mode == "unanswered":
        listener.listen(0)
        fillers = []
        for _ in range(3):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", port))
            fillers.append(filler)
    else:
        listener.listen(8)
    with open(port_file, "w") as out:
        out.write(str(port))
    if mode == "unanswered":
        threading.Event().wait()
    while True:
        connection, _ = listener.accept()
        if context is not None:
            try:
                connection = context.wrap_socket(connection, server_side=True)
            except (OSError, ssl.SSLError):
                connection.close()
                continue
        threading.Thread(target=serve_connection, args=(mode, connection), daemon=True).start()


if __name__ == "__main__":
    main()
