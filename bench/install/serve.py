#!/usr/bin/env python3
"""Serves a release folder over HTTP/1.1 for the install benchmark. Accepts the
absolute targets a proxy receives ("GET http://host:80/path?query HTTP/1.1"),
ignores the query (the manifest request is answered from the file
Dl/ClientResources.asp), streams files with sendfile. Prints the port first.
    serve.py <folder> [--delay-ms N] [--no-nodelay] [--log FILE] [--listen ADDRESS:PORT]
--delay-ms  waits N ms after a request has arrived before answering it: a
            stand-in for the network's round trip, which a client pays once
            per request whatever the size of the answer.
--no-nodelay leaves Nagle's algorithm on, as a plain server does; headers and
            body then go out in separate writes and a small body waits for
            the client's delayed ACK of the headers.
--listen    where to listen (default 127.0.0.1:0, an ephemeral port); a
            client without a proxy reaches port 80 only.
--log       one line per request: "<connection> <arrived> <answered> <bytes>
            <target>", times in seconds of the monotonic clock; connections
            are numbered in the order they were accepted.
One event loop serves every connection: WinINet under Wine opens a new
connection for each request it sends through a proxy, and starting a thread
per connection cost the server several milliseconds per file on a busy machine."""
import argparse
import asyncio
import email.utils
import itertools
import os
import socket
import time
import urllib.parse


def resolve(folder, target):
    """The file a request target names, or None when it leaves the folder."""
    path = urllib.parse.unquote(urllib.parse.urlsplit(target).path or "/")
    full = os.path.normpath(os.path.join(folder, path.lstrip("/")))
    if full != folder and not full.startswith(folder + os.sep):
        return None
    return full


class Server:
    def __init__(self, folder, delay, nodelay, log):
        self.folder = folder
        self.delay = delay
        self.nodelay = nodelay
        self.log = log
        self.connections = itertools.count(1)

    async def handle(self, reader, writer):
        connection = next(self.connections)
        sock = writer.get_extra_info("socket")
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1 if self.nodelay else 0)
        loop = asyncio.get_running_loop()
        try:
            while True:
                head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
                arrived = time.monotonic()
                method, target, version = head[0].split(" ", 2)
                fields = {}
                for line in head[1:]:
                    name, _, value = line.partition(":")
                    fields[name.strip().lower()] = value.strip().lower()
                close = version == "HTTP/1.0" or fields.get("connection") == "close"
                length = int(fields.get("content-length", "0") or "0")
                if length:
                    await reader.readexactly(length)
                if self.delay:
                    await asyncio.sleep(self.delay)
                full = resolve(self.folder, target)
                date = email.utils.formatdate(usegmt=True)
                size = 0
                if method not in ("GET", "HEAD") or full is None or not os.path.isfile(full):
                    status = "501 Not Implemented" if method not in ("GET", "HEAD") else "404 Not Found"
                    writer.write(f"HTTP/1.1 {status}\r\nDate: {date}\r\nContent-Length: 0\r\n\r\n".encode())
                else:
                    with open(full, "rb") as body:
                        size = os.fstat(body.fileno()).st_size
                        writer.write(f"HTTP/1.1 200 OK\r\nDate: {date}\r\nContent-Type: application/octet-stream\r\n"
                                     f"Content-Length: {size}\r\n\r\n".encode())
                        if method == "GET" and size:
                            await loop.sendfile(writer.transport, body)
                await writer.drain()
                if self.log:
                    self.log.write(f"{connection} {arrived:.6f} {time.monotonic():.6f} {size} {target}\n")
                if close:
                    break
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError, ValueError):
            pass
        finally:
            writer.close()


async def serve(server, address, port):
    listener = await asyncio.start_server(server.handle, address, port, backlog=128)
    print(listener.sockets[0].getsockname()[1], flush=True)
    await listener.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--delay-ms", type=float, default=0)
    parser.add_argument("--no-nodelay", action="store_true")
    parser.add_argument("--log")
    parser.add_argument("--listen", default="127.0.0.1:0")
    args = parser.parse_args()
    address, _, port = args.listen.rpartition(":")
    log = open(args.log, "w", buffering=1) if args.log else None
    asyncio.run(serve(Server(os.path.abspath(args.folder), args.delay_ms / 1000.0, not args.no_nodelay, log),
                      address, int(port)))


if __name__ == "__main__":
    main()
