"""The service's WSGI application for an application server, configured with the
download server's own options in ORVANTA_SERVICE_ARGS:

    ORVANTA_SERVICE_ARGS='--release /srv/orvanta/release --log-db postgresql://orvanta@db/orvanta
                          --trust-proxy 127.0.0.1' \
        gunicorn --workers 2 --bind 127.0.0.1:8000 --chdir /opt/orvanta service.wsgi:application

Each worker builds the application when it imports this module; database connections
are opened on first use, inside the worker.
"""

import argparse
import os
import shlex
import sys

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import download_server, httpcommon  # noqa: E402


def create_app(arguments):
    parser = argparse.ArgumentParser(prog="ORVANTA_SERVICE_ARGS")
    download_server.add_app_arguments(parser)
    return download_server.build_app(parser.parse_args(shlex.split(arguments)))


httpcommon.configure_logging()
application = create_app(os.environ.get("ORVANTA_SERVICE_ARGS", ""))
