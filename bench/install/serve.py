#!/usr/bin/env python3
"""Serves a release folder over HTTP/1.1 for the install benchmark. Accepts the
absolute targets a proxy receives ("GET http://host:80/path?query HTTP/1.1"),
ignores the query (the manifest request is answered from the file
Dl/ClientResources.asp), streams files with sendfile. Prints the port first.
    serve.py <folder>
One event loop serves every connection: WinINet under Wine opens a new
connection for each request it sends through a proxy, and starting a thread
per connection cost the server several milliseconds per file on a busy machine."""
import asyncio
import email.utils
import os
import socket
import sys
import urllib.parse


def resolve(folder, target):
    """The file a request target names, or None when it leaves the folder."""
    path = urllib.parse.unquote(urllib.parse.urlsplit(target).path or "/")
    full = os.path.normpath(os.path.join(folder, path.lstrip("/")))
    if full != folder and not full.startswith(folder + os.sep):
        return None
    return full


async def handle(folder, reader, writer):
    sock = writer.get_extra_info("socket")
    # Headers and body go out in separate writes: without this every response
    # waits for the client's delayed ACK (tens of ms per file).
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    loop = asyncio.get_running_loop()
    try:
        while True:
            head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
            method, target, version = head[0].split(" ", 2)
            fields = {}
            for line in head[1:]:
                name, _, value = line.partition(":")
                fields[name.strip().lower()] = value.strip().lower()
            close = version == "HTTP/1.0" or fields.get("connection") == "close"
            length = int(fields.get("content-length", "0") or "0")
            if length:
                await reader.readexactly(length)
            full = resolve(folder, target)
            date = email.utils.formatdate(usegmt=True)
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
            if close:
                break
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError, ValueError):
        pass
    finally:
        writer.close()


async def serve(folder):
    server = await asyncio.start_server(lambda r, w: handle(folder, r, w), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


def main():
    asyncio.run(serve(os.path.abspath(sys.argv[1])))


if __name__ == "__main__":
    main()
