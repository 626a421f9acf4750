"""Reading and writing the INI text that the installer reads as its update manifest.

The reader follows the installer's rules: lines are trimmed, "#" and ";" start comments,
"[name]" opens a section, other lines split at their first "=" with key and value kept
untrimmed, and a line whose key or value is empty is ignored. The last duplicate wins.
"""

from collections import OrderedDict

_WHITESPACE = " \t\n\v\f\r"


class IniError(ValueError):
    pass


def parse(text):
    """Return an OrderedDict of section name -> OrderedDict of key -> value."""
    sections = OrderedDict()
    current = ""
    for raw in text.splitlines():
        line = raw.strip(_WHITESPACE)
        if not line or line[0] in "#;":
            continue
        if line[0] == "[" and line[-1] == "]" and len(line) >= 2:
            current = line[1:-1]
            sections.setdefault(current, OrderedDict())
            continue
        key, sep, value = line.partition("=")
        if not sep or not key or not value:
            continue
        sections.setdefault(current, OrderedDict())[key] = value
    return sections


def read(path):
    with open(path, "r", encoding="latin-1", newline="") as f:
        return parse(f.read())


def check_key(key, what="key"):
    """Refuse keys the installer would read back differently."""
    if not key or key != key.strip(_WHITESPACE):
        raise IniError("%s %r is empty or has surrounding white space" % (what, key))
    if "=" in key or key[0] in "#;[" or any(c in key for c in "\r\n\0"):
        raise IniError("%s %r cannot be written as an INI key" % (what, key))


def check_value(value, what="value"):
    if not value or value != value.strip(_WHITESPACE):
        raise IniError("%s %r is empty or has surrounding white space" % (what, value))
    if any(c in value for c in "\r\n\0"):
        raise IniError("%s %r holds a line break" % (what, value))


def render(sections, newline="\r\n"):
    """Render sections in their given order. Empty values are left out, since the
    installer ignores a line ending in "=" and reads a missing key as empty anyway."""
    out = []
    for name, entries in sections.items():
        if any(c in name for c in "[]\r\n\0"):
            raise IniError("section name %r cannot be written" % name)
        out.append("[%s]" % name)
        for key, value in entries.items():
            if value == "":
                continue
            check_key(key)
            check_value(value, "value of %s" % key)
            out.append("%s=%s" % (key, value))
    return newline.join(out) + newline if out else ""


def file_spec_checksum(spec):
    """The checksum as the installer reads it: the text between the last "^" and the
    last "." of the remote name (everything before the last "." when there is no "^")."""
    dot = spec.rfind(".")
    end = dot if dot >= 0 else len(spec)
    caret = spec.rfind("^")
    start = caret + 1 if caret >= 0 else 0
    return spec[start:end] if start <= end else ""
