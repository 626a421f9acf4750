"""The layout of a release folder: what the packer writes and the service reads.

    <release>/manifest.ini    the update manifest (when signed, its last line is ";signature=...")
    <release>/noupdate.ini    the signed no-update answer beside a signed manifest
    <release>/files/...       the package files, each named by its file spec:
                              files/<folder>/<name>^<sha256>.lzma   compressed
                              files/<folder>/<stem>^<sha256>.<ext>  stored as it is
                              files/<folder>/<name>^<sha256>.vpatch a patch (named by its own digest)
    <release>/staged/         manifest.ini and noupdate.ini of a release being rolled out
                              to a share of the installations (its files are in files/)
    <release>/rollout.ini     that rollout's state (service/rollout.py)
    <release>/history/<date>.ini  every manifest published, as published (for a rollback)

A package file named by a SHA-256 never changes, so servers may let it be cached for good;
the files of earlier releases stay, so that every manifest in history/ can be served again.
"""

import os
import re
from urllib.parse import quote, unquote

MANIFEST_NAME = "manifest.ini"
NO_UPDATE_NAME = "noupdate.ini"
FILES_DIR = "files"
STAGED_DIR = "staged"
ROLLOUT_NAME = "rollout.ini"
HISTORY_DIR = "history"
COMPRESSED_EXT = ".lzma"
PATCH_EXT = ".vpatch"
# The end of a digest-named package file's path (nginx takes the same expression).
DIGEST_NAME = re.compile(r"\^[0-9A-Fa-f]{64}\.[^/]*$")
# A signed manifest's last line; the signature covers every byte before it.
_SIGNED = re.compile(rb"(?:\A|\n);signature=[^\r\n]*(?:\r?\n)?\Z")
# Characters left unescaped in a file spec; the installer requests the spec as written.
URL_SAFE = "/()+~!$'*@-"


def package_spec(stem, digest, ext):
    """The file spec of a package file: `stem` is its "/"-path in the client folder without
    the part that `ext` (".lzma", ".vpatch" or the file's own ".ext") stands for."""
    return quote(FILES_DIR + "/" + stem, URL_SAFE) + "^" + digest + ext


def is_compressed(name, spec):
    """Whether the package file of `spec` is unpacked into `name` (a FILE key or a client
    path): the installer unpacks when the remote extension is .lzma and the local one is not."""
    return spec.lower().endswith(COMPRESSED_EXT) and not name.lower().endswith(COMPRESSED_EXT)


def spec_path(release_dir, spec):
    """Where the package file of `spec` lies below a release folder."""
    return os.path.join(release_dir, *unquote(spec).split("/"))


def is_signed(data):
    """True when the last line of the manifest bytes is a signature line."""
    return bool(_SIGNED.search(data))


def history_path(release_dir, date):
    return os.path.join(release_dir, HISTORY_DIR, date + ".ini")


def file_stamp(path):
    """What changes when a published file is replaced (the packer renames a new file over
    it), or None when there is none."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_size, st.st_ino)
