"""Signing a release's manifests with the publisher's Ed25519 key.

A signed manifest is the manifest text followed by one last line
    ;signature=ed25519:<128 hex digits>CR LF
The signature covers every byte before that line, exactly as the download server
serves it; installers built without keys read the line as an INI comment. The
private key stays with the publisher: the download server only serves the signed
files, byte for byte.
"""

import re

from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

SIGNATURE_PREFIX = ";signature=ed25519:"
# The download server fills these in per request, which would break the signature.
_PLACEHOLDER = re.compile(r"\$\{[A-Za-z0-9_]+\}")
_SIGNATURE_LINE = re.compile(r"^[ \t]*;signature=", re.IGNORECASE | re.MULTILINE)


class SigningError(Exception):
    pass


def load_key(path):
    """The Ed25519 private key of a PEM file (as `openssl genpkey -algorithm ed25519` writes)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise SigningError("%s: %s" % (path, e.strerror or e))
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except TypeError:
        raise SigningError("%s: the key is encrypted; give an unencrypted PEM key" % path)
    except (ValueError, UnsupportedAlgorithm):
        raise SigningError("%s: not a private key in PEM form" % path)
    if not isinstance(key, Ed25519PrivateKey):
        raise SigningError("%s: not an Ed25519 key" % path)
    return key


def public_key_hex(key):
    """The 64 hex digits of the public key, as the ORVANTA_RELEASE_KEYS build setting takes them."""
    return key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex()


def check_signable(text, what="manifest"):
    found = _PLACEHOLDER.search(text)
    if found:
        raise SigningError("%s holds the request placeholder %s: a signed file is served byte for byte, "
                           "so it cannot be filled in per request" % (what, found.group(0)))
    if _SIGNATURE_LINE.search(text):
        raise SigningError("%s already holds a signature line" % what)


def sign_text(text, key, what="manifest", newline="\r\n"):
    """`text` with its signature line appended. The text is signed as latin-1 bytes,
    the encoding in which the packer writes it."""
    check_signable(text, what)
    if text and not text.endswith("\n"):
        text += newline  # the signature must start a line of its own
    signature = key.sign(text.encode("latin-1"))
    return text + SIGNATURE_PREFIX + signature.hex() + newline


def no_update_sections(sections):
    """The release's no-update answer: its GENERAL section (the installer still reads the
    brand from it), NO_UPDATE_AVILABLE, and the release's date, so that an old answer
    cannot be replayed against a newer release."""
    return {
        "GENERAL": sections.get("GENERAL", {}),
        "NO_UPDATE_AVILABLE": {"VALUE": "1"},
        "PRODUCT_REG": {"LastUpdateDate": sections["PRODUCT_REG"]["LastUpdateDate"]},
    }
