#!/usr/bin/env python3
"""Serves a release folder over HTTP/1.1 for the install benchmark. Accepts the
absolute targets a proxy receives ("GET http://host:80/path?query HTTP/1.1"),
ignores the query (the manifest request is answered from the file
Dl/ClientResources.asp), streams files with sendfile. Prints the port first.
    serve.py <folder>"""
import http.server
import sys
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes: without this every response
    # waits for the client's delayed ACK (tens of ms per file).
    disable_nagle_algorithm = True

    def translate_path(self, path):
        path = urllib.parse.urlsplit(path).path or "/"
        if not path.startswith("/"):
            path = "/" + path
        # "^" may arrive escaped or not; the file names hold it as it is.
        return super().translate_path(path)

    def copyfile(self, source, outputfile):
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
