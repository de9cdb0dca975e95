#!/usr/bin/env python3
"""A local HTTP server that misbehaves on purpose, for the client's memory and privacy tests.

Usage: hostile_http_server.py MODE. Prints its port, then serves every connection in MODE:
  endless-chunked  200 with a chunked body that never ends
  endless-body     200 without a length, bytes until the client hangs up
  huge-header      a status line, then one header line that never ends
  many-headers     a status line, then header lines that never end
  redirect         302 to another local port (the client must not follow it)
"""
import socket
import sys
import threading

MODE = sys.argv[1]
BLOCK = b"x" * 65536


def serve(connection: socket.socket) -> None:
    try:
        connection.recv(65536)
        if MODE == "endless-chunked":
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                               b"Transfer-Encoding: chunked\r\n\r\n")
            chunk = b"%x\r\n" % len(BLOCK) + BLOCK + b"\r\n"
            while True:
                connection.sendall(chunk)
        elif MODE == "endless-body":
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                               b"Connection: close\r\n\r\n")
            while True:
                connection.sendall(BLOCK)
        elif MODE == "huge-header":
            connection.sendall(b"HTTP/1.1 200 OK\r\nX-Filler: ")
            while True:
                connection.sendall(BLOCK)
        elif MODE == "many-headers":
            connection.sendall(b"HTTP/1.1 200 OK\r\n")
            line = b"X-Filler: " + b"y" * 1000 + b"\r\n"
            while True:
                connection.sendall(line * 64)
        elif MODE == "redirect":
            connection.sendall(b"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:9/\r\n"
                               b"Content-Length: 0\r\n\r\n")
    except OSError:
        pass
    finally:
        connection.close()


def main() -> None:
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection,), daemon=True).start()


if __name__ == "__main__":
    main()
