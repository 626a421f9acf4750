#!/usr/bin/env python3
"""Writes a release for the download server from a folder holding a client build.

    pack_release.py --client DIR --description release.json --out RELEASE_DIR
                    [--previous PREVIOUS_RELEASE_DIR] [--decoder lzma.exe ...] [--date TEXT]
                    [--sign-key KEY.pem] [--patch-maker build/host/vpatch --patch-tool vpatch.exe]
    pack_release.py ... --stage PERCENT      (a staged rollout: service/rollout.py)
    pack_release.py rollback --out RELEASE_DIR [--to DATE | --from FOLDER] [--sign-key KEY.pem]
    pack_release.py --sign-key KEY.pem --print-public-key

The release folder gets "manifest.ini" and the package files below "files/". Each file
is stored LZMA-compressed ("xz --format=lzma" format) where that saves space, else as it
is; its file spec carries the SHA-256 of the installed content between "^" and the last
".": files/Bin/client.dll^<sha256>.lzma, files/Bin/readme^<sha256>.txt. A file keeps its
version while its content is unchanged (compared with the previous release, by default
the one already in RELEASE_DIR); re-packing an unchanged client changes nothing.
With --sign-key the manifest is signed and a signed no-update answer "noupdate.ini"
is written beside it (release_signing.py).

Every manifest published is also kept as history/<date>.ini. With --stage P the release is
written to staged/ beside the current one and given to P % of the installations
(service/rollout.py raises, halts, promotes or withdraws it); a normal pack is refused
while a release is staged. "rollback" publishes an earlier release's content (the current
one when a release is staged, else the newest older one in history/, or --to / --from) as
a new release dated after every release published, signed with --sign-key, and withdraws
a staged release: installations with release keys refuse an older release, so putting an
old manifest back would leave them where they are.

With --patch-maker, a file whose content changed also gets a patch from the previous
release's version when the patch is under half the size of the whole package file; the
[PATCH] section lists it as <key>=<checksum of the base version>,<patch file spec>.
"""

import argparse
import datetime
import hashlib
import json
import lzma
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import weakref
from collections import OrderedDict
from urllib.parse import quote

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import ini, rollout  # noqa: E402
from service.release_layout import (COMPRESSED_EXT, HISTORY_DIR, MANIFEST_NAME, NO_UPDATE_NAME,  # noqa: E402
                                    PATCH_EXT, STAGED_DIR, URL_SAFE, history_path, is_compressed, is_signed,
                                    package_spec, spec_path)

GENERAL_KEYS = ("BRAND_NAME", "EXE_NAME", "EXE_WORK_PATH", "DOWNLOAD_URL", "SKIN_URL",
                "UNINSTALL_ICON", "EXE_UPDATERES", "DISPLAY_VERSION")
# The version the system's list of installed programs shows; the installer
# takes at most this many characters, none of them control characters.
DISPLAY_VERSION = "DISPLAY_VERSION"
DISPLAY_VERSION_MAX = 64
# Fetched first, stored as they are, at the root (vpatch.exe applies patches).
DECODERS = ("lzma.exe", "oggdec.exe", "vpatch.exe")
PATCH_SECTION = "PATCH"
PATCH_SIZE_SECTION = "PATCH_SIZE"  # the size of the file each patch makes: vpatch.exe --size
# <FILE key>=<SHA-256 of the package file as served>: an installer with release keys
# checks a compressed file before its decoder runs. Older installers ignore it.
PACKAGE_DIGEST_SECTION = "PACKAGE_SHA256"
DECODER_ORDER = 1
FILE_ORDER = 100
CHUNK = 1 << 20
# The installer runs "lzma  d <key>.~ov<8 hex digits> <key>.~ovnew" (older ones "lzma  d
# <key>.lzma <key>") in a 256-byte buffer; longer keys stay raw.
MAX_COMPRESSED_KEY = 110
# The installer's temporary files carry this in their names and are deleted as leftovers.
INSTALLER_TEMPORARY_MARK = ".~ov"
_DATE = re.compile(r"^[A-Za-z0-9._-]+$")
_NAME_CHARS = re.compile(r"^[\x20-\x7e]+$")


class PackError(Exception):
    pass


# ---------------------------------------------------------------------- description

def load_description(path):
    """GENERAL values and REG entries from a JSON or INI release description."""
    if path.lower().endswith(".json"):
        with open(path, encoding="utf-8") as f:
            data = json.load(f, object_pairs_hook=OrderedDict)
        if not isinstance(data, dict):
            raise PackError("%s: expected a JSON object" % path)
        general = OrderedDict(data.get("GENERAL", {}))
        for key in GENERAL_KEYS:
            if key in data:
                general[key] = data[key]
        reg = OrderedDict(data.get("REG", {}))
    else:
        sections = ini.read(path)
        general = OrderedDict(sections.get("GENERAL", {}))
        reg = OrderedDict(sections.get("REG", {}))
    general = OrderedDict((k, "" if v is None else str(v)) for k, v in general.items())
    reg = OrderedDict((k, str(v)) for k, v in reg.items())
    if not general.get("BRAND_NAME"):
        raise PackError("%s: BRAND_NAME is required" % path)
    if "FILE_DIGEST" in general:
        raise PackError("%s: FILE_DIGEST is set by the packer" % path)
    version = general.get(DISPLAY_VERSION, "")
    if len(version) > DISPLAY_VERSION_MAX or any(ord(c) < 0x20 or ord(c) == 0x7f for c in version):
        raise PackError("%s: DISPLAY_VERSION must be a line of at most %d characters" % (path, DISPLAY_VERSION_MAX))
    try:
        for key, value in general.items():
            ini.check_key(key, "GENERAL key")
            if value:
                ini.check_value(value, "GENERAL " + key)
        for key, value in reg.items():
            ini.check_key(key, "REG key")
            ini.check_value(value, "REG " + key)
            check_reg_value(key, value)
    except ini.IniError as e:
        raise PackError("%s: %s" % (path, e))
    return general, reg


def check_reg_value(key, value):
    parts = value.split("/", 2)
    if len(parts) != 3 or parts[0] not in ("D", "S"):
        raise ini.IniError("REG %s: value must be D/<Y|N>/<number> or S/<Y|N>/<text>" % key)
    if parts[0] == "D" and not re.match(r"^-?\d+$", parts[2]):
        raise ini.IniError("REG %s: D needs a decimal number" % key)


# ---------------------------------------------------------------------- client files

def check_name(rel):
    """Refuse names the installer or its manifest would read back differently."""
    if not _NAME_CHARS.match(rel):
        raise PackError("%s: only printable ASCII names are supported" % rel)
    name = rel.rsplit("/", 1)[-1]
    if INSTALLER_TEMPORARY_MARK in rel:
        raise PackError("%s: the installer takes names holding %r for its own temporary files"
                        % (rel, INSTALLER_TEMPORARY_MARK))
    for bad in ("__", ",", "^", "=", "\\", "%", "?", "#", "&"):
        if bad in rel:
            raise PackError("%s: %r cannot stand in a package file name" % (rel, bad))
    if rel[0] in ";[ " or any(p != p.strip() or p in ("", ".", "..") for p in rel.split("/")):
        raise PackError("%s: name cannot be written as a manifest key" % rel)
    return name


def list_client(folder, decoders):
    """Relative "/"-paths -> absolute source paths, decoders added at the root."""
    found = OrderedDict()
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(root, name)
            rel = os.path.relpath(full, folder).replace(os.sep, "/")
            found[rel] = full
    for path in decoders:
        rel = os.path.basename(path)
        if rel in found and os.path.realpath(found[rel]) != os.path.realpath(path):
            raise PackError("decoder %s collides with the client's own %s" % (path, rel))
        found[rel] = path
    seen = {}
    for rel in found:
        check_name(rel)
        # Windows paths and registry value names ignore case.
        if rel.lower() in seen:
            raise PackError("%s and %s differ only in letter case" % (seen[rel.lower()], rel))
        seen[rel.lower()] = rel
    # Decoders first: the installer fetches in order and needs them before any .lzma file.
    return OrderedDict(sorted(found.items(), key=lambda item: (not is_root_decoder(item[0]), item[0])))


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(CHUNK), b""):
            digest.update(block)
    return digest.hexdigest()


def compress_to(src, dst, preset):
    """Stream `src` into an .lzma (alone format) file; returns the compressed size."""
    comp = lzma.LZMACompressor(format=lzma.FORMAT_ALONE, preset=preset)
    with open(src, "rb") as fin, open(dst, "wb") as fout:
        for block in iter(lambda: fin.read(CHUNK), b""):
            fout.write(comp.compress(block))
        fout.write(comp.flush())
        return fout.tell()


def lzma_sha256(path, sink=None):
    """SHA-256 of the content decoded from an .lzma file, streamed; sink(block), when given,
    takes each decoded block too. PackError for a stream cut short or followed by more data."""
    dec = lzma.LZMADecompressor(format=lzma.FORMAT_ALONE)
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(CHUNK), b""):
            if dec.eof:
                raise PackError("%s: data after the end of the LZMA stream" % path)
            data = dec.decompress(block)
            digest.update(data)
            if sink is not None:
                sink(data)
    if not dec.eof or dec.unused_data:
        raise PackError("%s: truncated LZMA stream" % path)
    return digest.hexdigest()


# ---------------------------------------------------------------------- writing files

def write_atomically(target, write):
    """Write `target` through a temporary file in its folder: write(path) fills the temporary
    file; unless it returns False, the file is flushed to disk and renamed over `target` in one
    step. A packer stopped at any moment leaves the old file or the new one, never a part of
    one. Returns what write returned."""
    folder = os.path.dirname(target) or "."
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(target) + ".", suffix=".part")
    # mkstemp makes the file for its owner only; what the packer publishes is read by the
    # servers' own users (nginx, the application), so it gets a plain new file's mode.
    umask = os.umask(0)
    os.umask(umask)
    os.fchmod(fd, 0o666 & ~umask)
    os.close(fd)
    try:
        result = write(tmp)
        if result is not False:
            with open(tmp, "rb+") as f:
                os.fsync(f.fileno())
            os.replace(tmp, target)
        return result
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def write_text_atomically(path, text):
    def write(tmp):
        with open(tmp, "w", encoding="latin-1", newline="") as f:
            f.write(text)
    write_atomically(path, write)


def write_text_if_changed(path, text):
    """Write `text` to `path` atomically unless the file holds it already; whether it wrote."""
    if os.path.isfile(path):
        with open(path, encoding="latin-1", newline="") as f:
            if f.read() == text:
                return False
    write_text_atomically(path, text)
    return True


def holds_digest(path, spec, compressed=False):
    """Whether the package file holds what its spec's digest names: the content decoded from a
    compressed file, the file itself otherwise (a patch is named by its own digest)."""
    digest = ini.file_spec_checksum(spec)
    try:
        return (lzma_sha256(path) if compressed else sha256_of(path)) == digest
    except (PackError, lzma.LZMAError, OSError):
        return False


def copy_package_file(source, target, spec, compressed=False):
    """Copy a package file into place; refused (PackError) when the copy does not hold its digest."""
    def copy(tmp):
        shutil.copyfile(source, tmp)
        if not holds_digest(tmp, spec, compressed):
            raise PackError("%s: does not hold the content its name %s promises" % (source, spec))
    write_atomically(target, copy)


def reuse_package_file(spec, out_dir, sources, compressed=False):
    """Whether `out_dir` holds the package file of `spec` whole, copied from one of the
    release folders `sources` when it did not. Only a file holding its digest's content counts."""
    target = spec_path(out_dir, spec)
    if holds_digest(target, spec, compressed):
        return True
    for folder in sources:
        source = spec_path(folder, spec)
        if os.path.realpath(source) != os.path.realpath(target) and holds_digest(source, spec, compressed):
            copy_package_file(source, target, spec, compressed)
            return True
    return False


def spec_for(rel, digest, compressed):
    if compressed:
        return package_spec(rel, digest, COMPRESSED_EXT)
    folder, _, name = rel.rpartition("/")
    stem, _, ext = name.rpartition(".")
    if quote(ext, URL_SAFE) != ext:
        # The installer compares the remote and local extensions to decide on unpacking.
        raise PackError("%s: the extension must not need URL escaping" % rel)
    return package_spec((folder + "/" if folder else "") + stem, digest, "." + ext)


def is_decoder(rel):
    return rel.rsplit("/", 1)[-1].lower() in DECODERS


def is_root_decoder(rel):
    return rel.lower() in DECODERS


# ---------------------------------------------------------------------- display version

_VERSION_KEY = "VS_VERSION_INFO\0".encode("utf-16-le")
_FIXED_INFO_SIGNATURE = 0xFEEF04BD


def program_version(path):
    """"a.b.c.d" of a Windows program's fixed version information (its product
    version), or None. Only the resource section is read."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
            if head[:2] != b"MZ" or len(head) < 64:
                return None
            pe = struct.unpack_from("<I", head, 60)[0]
            if pe + 24 > len(head) or head[pe:pe + 4] != b"PE\0\0":
                return None
            sections, optional_size = struct.unpack_from("<H12xH", head, pe + 6)
            optional = pe + 24
            magic = struct.unpack_from("<H", head, optional)[0]
            directories = optional + {0x10b: 96, 0x20b: 112}.get(magic, 0)
            if directories == optional or directories + 24 > len(head):
                return None
            resource_rva = struct.unpack_from("<I", head, directories + 16)[0]  # entry 2
            table = optional + optional_size
            for i in range(sections):
                at = table + 40 * i
                if at + 40 > len(head):
                    return None
                size, rva, raw_size, raw_at = struct.unpack_from("<IIII", head, at + 8)
                if rva <= resource_rva < rva + max(size, raw_size):
                    f.seek(raw_at)
                    data = f.read(min(raw_size, 64 << 20))
                    break
            else:
                return None
    except (OSError, struct.error):
        return None
    at = data.find(_VERSION_KEY)
    while at >= 0:
        fixed = at + 34  # the key starts 6 bytes into the block, the fixed part 40 bytes in
        if fixed + 24 <= len(data) and struct.unpack_from("<I", data, fixed)[0] == _FIXED_INFO_SIGNATURE:
            high, low = struct.unpack_from("<II", data, fixed + 16)
            if high or low:
                return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
            return None
        at = data.find(_VERSION_KEY, at + 2)
    return None


def dated_version(date):
    """The release date as a version: 20240131093005 -> 2024.01.31.093005."""
    if len(date) == 14 and date.isdigit():
        return "%s.%s.%s.%s" % (date[:4], date[4:6], date[6:8], date[8:])
    return date[:DISPLAY_VERSION_MAX]


def client_program_version(general, files):
    """The version of the client's program (EXE_WORK_PATH\\EXE_NAME), or None."""
    if not general.get("EXE_NAME"):
        return None
    work = general.get("EXE_WORK_PATH", "").replace("\\", "/").strip("/")
    rel = ((work + "/") if work else "") + general["EXE_NAME"]
    for name, path in files.items():
        if name.lower() == rel.lower():
            return program_version(path)
    return None


def with_display_version(general, version):
    """GENERAL with DISPLAY_VERSION set, placed before FILE_DIGEST."""
    result = OrderedDict((k, v) for k, v in general.items() if k not in (DISPLAY_VERSION, "FILE_DIGEST"))
    result[DISPLAY_VERSION] = version
    if "FILE_DIGEST" in general:
        result["FILE_DIGEST"] = general["FILE_DIGEST"]
    return result


# ---------------------------------------------------------------------- patches

class Patcher:
    """Makes patches from the previous release's files with the release machine's vpatch."""

    def __init__(self, maker, out, base_dirs, max_ratio, log):
        self.maker, self.out, self.base_dirs, self.max_ratio, self.log = maker, out, base_dirs, max_ratio, log
        self.work = tempfile.mkdtemp(prefix="vpatch-")
        weakref.finalize(self, shutil.rmtree, self.work, True)  # also when packing fails

    def _temp(self, name):
        return os.path.join(self.work, name)

    def patch_for(self, rel, src, digest, old_spec, spec, old_patch):
        """The [PATCH] value for a file listed before as `old_spec`, or None."""
        if ini.file_spec_checksum(old_spec) != digest:
            return self.make(rel, src, old_spec, spec)
        return self.carry(old_patch) if old_patch else None

    def _base_file(self, rel, spec, digest):
        """The previous version's content as installed: the package file, decoded if need be."""
        for folder in self.base_dirs:
            path = spec_path(folder, spec)
            if not os.path.isfile(path):
                continue
            if not is_compressed(rel, spec):
                return path if sha256_of(path) == digest else None
            plain = self._temp("base")
            try:
                with open(plain, "wb") as fout:
                    decoded = lzma_sha256(path, fout.write)
            except (PackError, lzma.LZMAError):
                return None
            return plain if decoded == digest else None
        return None

    def make(self, rel, src, old_spec, whole_spec):
        """Patch spec for `src` from the previous version `old_spec`, or None when it does not pay."""
        old_digest = ini.file_spec_checksum(old_spec)
        base = self._base_file(rel, old_spec, old_digest)
        if base is None:
            self.log("%-40s no patch: the previous version's file is not at hand" % rel)
            return None
        patch = self._temp("patch" + PATCH_EXT)
        done = subprocess.run([self.maker, "make", base, src, patch], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            self.log("warning: %s: no patch, vpatch failed: %s" % (rel, done.stderr.strip()))
            return None
        size, whole = os.path.getsize(patch), os.path.getsize(spec_path(self.out, whole_spec))
        if size >= whole * self.max_ratio:
            self.log("%-40s no patch: %d bytes against %d for the whole file" % (rel, size, whole))
            return None
        spec = package_spec(rel, sha256_of(patch), PATCH_EXT)
        target = spec_path(self.out, spec)
        if not holds_digest(target, spec):
            copy_package_file(patch, target, spec)
        os.remove(patch)
        self.log("%-40s patch %s: %d bytes, %d%% of the whole file" % (rel, spec, size, 100 * size // max(whole, 1)))
        return "%s,%s" % (old_digest, spec)

    def carry(self, value):
        """An earlier patch to a file that did not change since, kept when its file is at hand
        and whole."""
        _, _, spec = value.partition(",")
        return value if reuse_package_file(spec, self.out, self.base_dirs) else None


# ---------------------------------------------------------------------- packing

class PreviousRelease:
    """The manifest of the release packed before; empty when there is none. `path` names
    a manifest file of another name (one of the release folder's history)."""

    def __init__(self, folder, path=None):
        path = path or (os.path.join(folder, MANIFEST_NAME) if folder else None)
        self.found = bool(path) and os.path.isfile(path)
        self.sections = ini.read(path) if self.found else OrderedDict()
        self.patches = self.sections.get(PATCH_SECTION, {})
        self.date = self.sections.get("PRODUCT_REG", {}).get("LastUpdateDate", "")

    def version_of(self, key, digest):
        """(version, spec listed before or None): a file keeps its version while its content
        is the same, and goes one up when it changed."""
        old = self.sections.get("FILE", {}).get(key, "").split(",")
        if len(old) < 3 or not re.match(r"^-?\d+$", old[0]):
            return 1, None
        return int(old[0]) + (ini.file_spec_checksum(old[1]) != digest), old[1]

    def lists_the_same(self, sections):
        """Whether the previous manifest says what `sections` say, its date aside."""
        body = OrderedDict((k, v) for k, v in self.sections.items() if k != "PRODUCT_REG")
        return self.found and bool(self.date) and ini.render(body) == ini.render(sections)


class Listing:
    """The [FILE], [PATCH], [PATCH_SIZE] and [PACKAGE_SHA256] entries of the release being packed."""

    def __init__(self):
        self.entries, self.patches, self.packages = OrderedDict(), OrderedDict(), OrderedDict()
        self.patch_sizes = OrderedDict()
        self.compressed_any = False
        self._next_order = {True: DECODER_ORDER, False: FILE_ORDER}

    def add(self, rel, version, spec, package_digest, compressed):
        key = rel.replace("/", "__")
        decoder = is_root_decoder(rel)
        order = self._next_order[decoder]
        self._next_order[decoder] += 1
        self.entries[key] = "%d,%s,%d" % (version, spec, order)
        self.packages[key] = package_digest
        self.compressed_any |= compressed

    def check_tools(self):
        keys = {k.lower() for k in self.entries}
        if self.compressed_any and "lzma.exe" not in keys:
            raise PackError("the release holds .lzma files but no lzma.exe at its root; pass --decoder")
        if self.patches and "vpatch.exe" not in keys:
            raise PackError("the release lists patches but no vpatch.exe at its root; pass --patch-tool")

    def sections(self, general, reg):
        sections = OrderedDict([("GENERAL", general), ("FILE", self.entries), ("REG", reg)])
        if self.patches:  # installers that do not know the sections ignore them
            sections[PATCH_SECTION] = self.patches
            sections[PATCH_SIZE_SECTION] = self.patch_sizes
        sections[PACKAGE_DIGEST_SECTION] = self.packages
        return sections


def place_file(rel, src, digest, out_dir, prev_dirs, preset, min_saving, log=lambda *a: None):
    """Write the package file for `rel` unless a whole one is present; returns (spec, compressed).
    A file under the digest name is reused only when it holds that digest's content."""
    key = rel.replace("/", "__")
    name = rel.rsplit("/", 1)[-1]
    # A local ".lzma" name equals the remote extension, so the installer would not unpack it.
    must_raw = is_decoder(rel) or " " in rel or len(key) > MAX_COMPRESSED_KEY or name.endswith(".lzma")
    must_compress = "." not in name  # the installer needs an extension to compare
    if must_raw and must_compress:
        raise PackError("%s: a name without extension must be compressed, which its name or "
                        "length does not allow" % rel)
    raw_spec = None if must_compress else spec_for(rel, digest, False)
    lz_spec = None if must_raw else spec_for(rel, digest, True)
    for spec, compressed in ((lz_spec, True), (raw_spec, False)):  # what an earlier release wrote
        if spec is None:
            continue
        if reuse_package_file(spec, out_dir, prev_dirs, compressed):
            return spec, compressed
        if os.path.isfile(spec_path(out_dir, spec)):
            log("%-40s %s does not hold its digest's content: written again" % (rel, spec))
    size = os.path.getsize(src)
    if lz_spec is not None:
        def compress(tmp):
            packed = compress_to(src, tmp, preset)
            if not (must_compress or packed <= size * (1.0 - min_saving)):
                return False
            if lzma_sha256(tmp) != digest:
                raise PackError("%s: LZMA round trip does not give the original" % rel)
            return True
        if write_atomically(spec_path(out_dir, lz_spec), compress):
            return lz_spec, True
    copy_package_file(src, spec_path(out_dir, raw_spec), raw_spec)
    return raw_spec, False


def next_date(previous, forced=None):
    if forced is not None:
        if not _DATE.match(forced):
            raise PackError("--date %r: use letters, digits, '.', '_' or '-' only" % forced)
        return forced
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d%H%M%S")
    # Dates must differ between releases: a client holding the old one would be told
    # that nothing changed.
    if previous and previous.isdigit() and len(previous) == len(now) and int(now) <= int(previous):
        return str(int(previous) + 1)
    return now


def read_inputs(client, description, decoders, sign_key, date):
    """The description's GENERAL and REG and the client's files, refused before any file
    is written."""
    if not os.path.isdir(client):
        raise PackError("%s: not a folder" % client)
    general, reg = load_description(description)
    if sign_key is not None:
        signable(ini.render(OrderedDict([("GENERAL", general), ("REG", reg)])))
        if date is not None and not date.isdigit():
            raise PackError(SIGNED_DATE_ERROR % date)
    files = list_client(client, decoders)
    if not files:
        raise PackError("%s: no files" % client)
    return general, reg, files


def place_files(files, out, prev_dirs, prev, compression, patcher, log):
    """Write every client file's package file (and patch, with a patcher); their Listing.
    compression: (LZMA preset, least saving for a file to be stored compressed)."""
    listing = Listing()
    for rel, src in files.items():
        key = rel.replace("/", "__")
        digest = sha256_of(src)
        version, old_spec = prev.version_of(key, digest)
        spec, compressed = place_file(rel, src, digest, out, prev_dirs, *compression, log)
        if patcher and old_spec and not is_root_decoder(rel):
            patch = patcher.patch_for(rel, src, digest, old_spec, spec, prev.patches.get(key))
            if patch:
                listing.patches[key] = patch
                listing.patch_sizes[key] = str(os.path.getsize(src))
        listing.add(rel, version, spec, sha256_of(spec_path(out, spec)) if compressed else digest, compressed)
        log("%-40s v%-4d %s" % (key, version, spec))
    return listing


def with_release_version(general, files, prev_date):
    """(GENERAL with FILE_DIGEST and the display version, whether that version is the
    release date). The display version is the description's, else the client program's,
    else the release date; until this release's date is known a dated version is the
    previous release's, so that an unchanged release compares equal."""
    general = OrderedDict(general)
    general["FILE_DIGEST"] = "SHA256"
    if general.get(DISPLAY_VERSION):
        return general, False
    version = client_program_version(general, files)
    if version is not None:
        return with_display_version(general, version), False
    return with_display_version(general, dated_version(prev_date)), True


def choose_date(sections, prev, forced, sign_key):
    """The release's date: the previous one when nothing changed, so that re-packing an
    unchanged client changes nothing; else a new one."""
    keep = prev.lists_the_same(sections) and forced is None and (sign_key is None or prev.date.isdigit())
    date = prev.date if keep else next_date(prev.date, forced)
    if sign_key is not None and not date.isdigit():
        raise PackError(SIGNED_DATE_ERROR % date)
    return date


def publish(out, sections, sign_key, log, staged=False):
    """Write the manifest (signed, with its signed no-update answer, when a key is given)
    unless it is there already, as the current release of `out` or its staged one; a copy
    goes to its history. Returns (changed, sections)."""
    text = ini.render(sections)
    if sign_key is not None:
        text = signable(text, sign_key)
    date = sections["PRODUCT_REG"]["LastUpdateDate"]
    write_text_if_changed(history_path(out, date), text)
    target = os.path.join(out, STAGED_DIR) if staged else out
    if sign_key is not None:
        write_signed_no_update(target, sections, sign_key, log)
    else:
        drop_signed_no_update(target, log)
    # Package files first, manifest last: a server never sees a half release.
    if not write_text_if_changed(os.path.join(target, MANIFEST_NAME), text):
        log("release unchanged: %s" % date)
        return False, sections
    log("%s written: %s" % ("staged release" if staged else "release", date))
    return True, sections


def check_staging(out, previous, stage):
    """Refuse a pack that would pass over a staged release, or a staging that has nothing
    to stage against."""
    staged = os.path.isfile(os.path.join(out, STAGED_DIR, MANIFEST_NAME))
    if stage is None:
        if staged:
            raise PackError("%s holds a staged release: promote or roll it back first (service/rollout.py), "
                            "or stage this one with --stage" % out)
        return
    if not 0 <= stage <= 100:
        raise PackError("--stage %g: give a percentage from 0 to 100" % stage)
    if previous:
        raise PackError("--stage packs beside the current release of --out; --previous cannot be used")
    if not os.path.isfile(os.path.join(out, MANIFEST_NAME)):
        raise PackError("%s: no current release to stage against; publish the first one without --stage" % out)


def newest_release(out):
    """The folder of the newest release published in `out`: its staged one, else its current one."""
    staged = os.path.join(out, STAGED_DIR)
    return staged if os.path.isfile(os.path.join(staged, MANIFEST_NAME)) else out


def stage_release(out, sections, changed, stage, log):
    """Start the rollout of a staged release at `stage` %; a re-packed, unchanged staged
    release keeps the rollout's state."""
    date = sections["PRODUCT_REG"]["LastUpdateDate"]
    try:
        state = rollout.read_state(out)
    except rollout.RolloutError:
        state = None
    if not changed and state is not None and state.release == date:
        log("rollout state kept: %g %% (service/rollout.py raise changes it)" % state.percent)
        return
    rollout.write_state(out, rollout.Rollout(date, float(stage), False))
    log("staged at %g %%" % stage)


def pack(client, description, out, previous=None, decoders=(), date=None, preset=6,
         min_saving=0.05, log=print, sign_key=None, patch_maker=None, max_patch_ratio=0.5, stage=None):
    """Pack `client` into the release folder `out`. Returns (changed, manifest sections).
    sign_key: an Ed25519 private key (release_signing.load_key) to sign the manifests with.
    With `patch_maker` (the release machine's vpatch) changed files also get patches.
    stage: a percentage; the release is then staged beside the current one (service/rollout.py)."""
    general, reg, files = read_inputs(client, description, decoders, sign_key, date)
    check_staging(out, previous, stage)
    # The newest release published: a staged one when there is one.
    prev = PreviousRelease(previous or (newest_release(out) if stage is not None else out))
    os.makedirs(out, exist_ok=True)
    patcher = Patcher(patch_maker, out, [previous or out], max_patch_ratio, log) if patch_maker else None
    listing = place_files(files, out, [previous] if previous else [], prev, (preset, min_saving), patcher, log)
    listing.check_tools()
    check_general(general, listing.entries, log)
    general, dated = with_release_version(general, files, prev.date)
    sections = listing.sections(general, reg)
    release_date = choose_date(sections, prev, date, sign_key)
    if stage is not None and release_date == PreviousRelease(out).date:
        raise PackError("nothing to stage: the client is the current release's")
    sections["PRODUCT_REG"] = OrderedDict([("LastUpdateDate", release_date)])
    if dated:
        sections["GENERAL"] = with_display_version(general, dated_version(release_date))
    changed, sections = publish(out, sections, sign_key, log, staged=stage is not None)
    if stage is not None:
        stage_release(out, sections, changed, stage, log)
    return changed, sections


# ---------------------------------------------------------------------- rollback

def earlier_release(out, to=None, source=None):
    """(manifest of the release to go back to, folders holding its package files). By
    default: the current release when one is staged, else the newest one in the history
    older than the current one."""
    if source:
        earlier = PreviousRelease(source)
        if not earlier.found:
            raise PackError("%s: no %s" % (source, MANIFEST_NAME))
        return earlier, [source]
    current = PreviousRelease(out)
    if to is None and newest_release(out) != out:
        return current, []
    if to is None:
        history = os.path.join(out, HISTORY_DIR)
        names = os.listdir(history) if os.path.isdir(history) else []
        older = [name[:-4] for name in names if name.endswith(".ini") and _older(name[:-4], current.date)]
        if not older:
            raise PackError("%s: no release older than %s in %s/; name one with --from"
                            % (out, current.date, HISTORY_DIR))
        to = max(older, key=int)
    earlier = PreviousRelease(None, history_path(out, to))
    if not earlier.found:
        raise PackError("%s: no release %s in %s/" % (out, to, HISTORY_DIR))
    return earlier, []


def _older(date, than):
    return date.isdigit() and than.isdigit() and int(date) < int(than)


def republished_sections(earlier, newest, out, sources):
    """The earlier release's GENERAL, FILE, REG and package digests (its patches were made
    for another base and are left out), with versions that follow the newest release's.
    PackError when a package file of it is no longer whole in `out` (nor in `sources`)."""
    entries, missing = OrderedDict(), []
    for key, value in earlier.sections.get("FILE", {}).items():
        version, spec, order = value.split(",")
        if not reuse_package_file(spec, out, sources, is_compressed(key, spec)):
            missing.append(spec)
            continue
        entries[key] = "%d,%s,%s" % (max(int(version), newest.version_of(key, ini.file_spec_checksum(spec))[0]),
                                     spec, order)
    if missing:
        raise PackError("the package files of release %s are not all whole in %s: %s"
                        % (earlier.date, out, ", ".join(missing[:5])))
    digests = earlier.sections.get(PACKAGE_DIGEST_SECTION, {})
    return OrderedDict([("GENERAL", earlier.sections.get("GENERAL", OrderedDict())), ("FILE", entries),
                        ("REG", earlier.sections.get("REG", OrderedDict())),
                        (PACKAGE_DIGEST_SECTION, OrderedDict((k, v) for k, v in digests.items() if k in entries))])


def rollback(out, to=None, source=None, date=None, sign_key=None, log=print):
    """Publish an earlier release's content as a new release of `out`, newer than any
    release an installation may have (a signed installation refuses an older one), and
    withdraw a staged release. Returns the new manifest's sections."""
    current = PreviousRelease(out)
    if not current.found:
        raise PackError("%s: no current release" % out)
    staged = newest_release(out) != out
    with open(os.path.join(out, MANIFEST_NAME), "rb") as f:
        if sign_key is None and is_signed(f.read()):
            raise PackError("%s: the release is signed; give --sign-key to sign its rollback" % out)
    earlier, sources = earlier_release(out, to, source)
    newest = PreviousRelease(newest_release(out))
    sections = republished_sections(earlier, newest, out, sources)
    release_date = next_date(newest.date, date)
    if date is not None and newest.date.isdigit() and not (date.isdigit() and int(date) > int(newest.date)):
        raise PackError("--date %s: a rollback must be newer than release %s" % (date, newest.date))
    if sign_key is not None and not release_date.isdigit():
        raise PackError(SIGNED_DATE_ERROR % release_date)
    sections["PRODUCT_REG"] = OrderedDict([("LastUpdateDate", release_date)])
    publish(out, sections, sign_key, log)
    if staged:
        rollout.withdraw(out)
        log("staged release %s withdrawn" % newest.date)
    log("rolled back to the content of release %s as release %s" % (earlier.date, release_date))
    return sections


# ---------------------------------------------------------------------- signing

# Installers with release keys refuse a release older than the one installed, which
# needs dates they can compare.
SIGNED_DATE_ERROR = ("a signed release needs a LastUpdateDate of digits (UTC YYYYMMDDhhmmss), not %r: "
                     "installers with release keys compare release dates")

def signable(text, sign_key=None):
    """Refuse text a signature cannot cover; with a key, return it signed."""
    from packer import release_signing  # python3-cryptography is needed for signing only
    try:
        if sign_key is None:
            release_signing.check_signable(text)
            return text
        return release_signing.sign_text(text, sign_key)
    except release_signing.SigningError as e:
        raise PackError(str(e))


def write_signed_no_update(out, sections, sign_key, log):
    """The signed no-update answer of this release, written before the manifest."""
    from packer import release_signing
    path = os.path.join(out, NO_UPDATE_NAME)
    text = signable(ini.render(release_signing.no_update_sections(sections)), sign_key)
    if write_text_if_changed(path, text):
        log("signed no-update answer written: %s" % path)


def drop_signed_no_update(out, log):
    """An unsigned release has no signed no-update answer: one left by an earlier,
    signed release would name another release's date."""
    path = os.path.join(out, NO_UPDATE_NAME)
    if os.path.isfile(path):
        os.remove(path)
        log("removed %s of an earlier signed release" % path)


def check_general(general, entries, log):
    keys = {k.lower() for k in entries}
    work = general.get("EXE_WORK_PATH", "").replace("\\", "__").replace("/", "__").strip("_")
    for name in ("EXE_NAME", "EXE_UPDATERES"):
        if general.get(name):
            key = (work + "__" if work else "") + general[name]
            if key.lower() not in keys:
                log("warning: %s %s is not in the client folder (%s)" % (name, general[name], key))
    if general.get("EXE_NAME"):  # the installer stores the client's program as <brand>.exe
        keys.add(((work + "__" if work else "") + general["BRAND_NAME"] + ".exe").lower())
    icon = general.get("UNINSTALL_ICON", "")
    if icon and icon.replace("\\", "__").replace("/", "__").lower() not in keys:
        log("warning: UNINSTALL_ICON %s is not in the client folder" % icon)


def load_sign_key(path):
    if not path:
        return None
    from packer import release_signing
    try:
        return release_signing.load_key(path)
    except release_signing.SigningError as e:
        raise PackError(str(e))


def rollback_main(argv):
    parser = argparse.ArgumentParser(prog="pack_release.py rollback",
                                     description="Publish an earlier release's content as a new release")
    parser.add_argument("--out", required=True, help="the release folder served")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--to", metavar="DATE", help="the release of this date in the folder's history/")
    which.add_argument("--from", dest="source", metavar="FOLDER", help="an earlier release folder")
    parser.add_argument("--date", help="LastUpdateDate to use instead of the current UTC time")
    parser.add_argument("--sign-key", help="Ed25519 private key (PEM): needed when the release is signed")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args(argv)
    try:
        rollback(args.out, args.to, args.source, args.date, load_sign_key(args.sign_key),
                 (lambda *a: None) if args.quiet else print)
    except (PackError, OSError, ValueError) as e:
        print("pack_release: %s" % e, file=sys.stderr)
        return 1
    return 0


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["rollback"]:
        return rollback_main(argv[1:])
    parser = argparse.ArgumentParser(description="Write a release for the download server "
                                                 "(\"%(prog)s rollback --help\": go back to an earlier one)")
    parser.add_argument("--client", help="folder holding the client build (required to pack)")
    parser.add_argument("--description", help="release description (.json or .ini) (required to pack)")
    parser.add_argument("--out", help="release folder to write (required to pack)")
    parser.add_argument("--previous", help="previous release folder (default: --out itself)")
    parser.add_argument("--decoder", action="append", default=[],
                        help="decoder program to ship at the data folder root (e.g. lzma.exe)")
    parser.add_argument("--date", help="LastUpdateDate to use instead of the current UTC time")
    parser.add_argument("--preset", type=int, default=6, choices=range(0, 10), help="LZMA preset")
    parser.add_argument("--patch-maker", help="the release machine's vpatch (scripts/build.sh host): "
                        "changed files also get patches from the previous release")
    parser.add_argument("--patch-tool", help="vpatch.exe to ship at the data folder root (applies patches)")
    parser.add_argument("--stage", type=float, metavar="PERCENT",
                        help="stage the release beside the current one, given to PERCENT %% of the funnels")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--sign-key", help="Ed25519 private key (PEM) to sign the manifest and the "
                                           "no-update answer with")
    parser.add_argument("--print-public-key", action="store_true",
                        help="print the --sign-key's public key (64 hex digits, for ORVANTA_RELEASE_KEYS) and stop")
    args = parser.parse_args(argv)
    if args.print_public_key and not args.sign_key:
        parser.error("--print-public-key needs --sign-key")
    if not args.print_public_key and not (args.client and args.description and args.out):
        parser.error("--client, --description and --out are required to pack")
    try:
        key = load_sign_key(args.sign_key)
        if args.print_public_key:
            from packer import release_signing
            print(release_signing.public_key_hex(key))
            return 0
        decoders = args.decoder + ([args.patch_tool] if args.patch_tool else [])
        pack(args.client, args.description, args.out, args.previous, decoders, args.date, args.preset,
             log=(lambda *a: None) if args.quiet else print, sign_key=key, patch_maker=args.patch_maker,
             stage=args.stage)
    except (PackError, OSError, ValueError) as e:
        print("pack_release: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
