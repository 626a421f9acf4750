"""The layout of a release folder: what the packer writes and the service reads.

    <release>/manifest.ini    the update manifest (when signed, its last line is ";signature=...")
    <release>/noupdate.ini    the signed no-update answer beside a signed manifest
    <release>/files/...       the package files, each named by its file spec:
                              files/<folder>/<name>^<sha256>.lzma   compressed
                              files/<folder>/<stem>^<sha256>.<ext>  stored as it is
                              files/<folder>/<name>^<sha256>.vpatch a patch (named by its own digest)

A package file named by a SHA-256 never changes, so servers may let it be cached for good.
"""

import os
import re
from urllib.parse import quote, unquote

MANIFEST_NAME = "manifest.ini"
NO_UPDATE_NAME = "noupdate.ini"
FILES_DIR = "files"
COMPRESSED_EXT = ".lzma"
PATCH_EXT = ".vpatch"
# The end of a digest-named package file's path (nginx takes the same expression).
DIGEST_NAME = re.compile(r"\^[0-9A-Fa-f]{64}\.[^/]*$")
# Characters left unescaped in a file spec; the installer requests the spec as written.
URL_SAFE = "/()+~!$'*@-"


def package_spec(stem, digest, ext):
    """The file spec of a package file: `stem` is its "/"-path in the client folder without
    the part that `ext` (".lzma", ".vpatch" or the file's own ".ext") stands for."""
    return quote(FILES_DIR + "/" + stem, URL_SAFE) + "^" + digest + ext


def spec_path(release_dir, spec):
    """Where the package file of `spec` lies below a release folder."""
    return os.path.join(release_dir, *unquote(spec).split("/"))
