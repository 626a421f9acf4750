#!/usr/bin/env python3
"""Serves a folder over HTTP/1.1 for the download benchmark. Accepts the
absolute targets a proxy receives ("GET http://host:80/big.bin HTTP/1.1"), so
WinINet and curl can both reach it as their proxy. Prints the port, then serves.
    serve.py <folder>"""
import http.server
import os
import sys
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def translate_path(self, path):
        return super().translate_path(urllib.parse.urlsplit(path).path or "/")

    def copyfile(self, source, outputfile):
        # sendfile: the native server must not be the bottleneck of the comparison.
        self.connection.sendfile(source)

    def log_message(self, *args):
        pass


def main():
    folder = sys.argv[1]
    handler = lambda *a, **k: Handler(*a, directory=folder, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
