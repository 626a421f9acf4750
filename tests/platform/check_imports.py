#!/usr/bin/env python3
"""Reads the import tables of Windows executables and refuses any import that
Windows XP does not have (the list in post_xp_functions.txt).

    check_imports.py LIST EXE...           fails when an EXE imports a listed name
    check_imports.py LIST --expect-found EXE
                                           fails unless EXE imports a listed name
                                           (shows that the check can catch one)

A Windows loader refuses to start a program whose imports it cannot resolve,
so one such import is enough to keep the program off the older system.
"""
import struct
import sys


class PeError(Exception):
    pass


def read_imports(path):
    """[(dll, function)] of the PE file's import directory; an import by
    ordinal is named "#<ordinal>"."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise PeError("%s: not an executable" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("%s: no PE header" % path)
    sections_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:      # PE32
        directories, thunk_size, ordinal_flag = optional + 96, 4, 1 << 31
    elif magic == 0x20B:    # PE32+
        directories, thunk_size, ordinal_flag = optional + 112, 8, 1 << 63
    else:
        raise PeError("%s: unknown optional header 0x%x" % (path, magic))
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]

    sections = []
    table = optional + optional_size
    for i in range(sections_count):
        virtual_size, rva, raw_size, raw = struct.unpack_from("<8xIIII", data, table + 40 * i)
        sections.append((rva, max(virtual_size, raw_size), raw))

    def offset(address):
        for rva, size, raw in sections:
            if rva <= address < rva + size:
                return raw + address - rva
        raise PeError("%s: address 0x%x outside every section" % (path, address))

    def text(address):
        start = offset(address)
        return data[start:data.index(b"\0", start)].decode("ascii")

    imports = []
    if import_rva == 0:
        return imports
    descriptor = offset(import_rva)
    while True:
        names_rva, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", data, descriptor)
        if name_rva == 0 and first_thunk == 0:
            break
        dll = text(name_rva)
        thunk = offset(names_rva or first_thunk)
        while True:
            value = struct.unpack_from("<Q" if thunk_size == 8 else "<I", data, thunk)[0]
            if value == 0:
                break
            if value & ordinal_flag:
                imports.append((dll, "#%d" % (value & 0xFFFF)))
            else:
                imports.append((dll, text((value & 0x7FFFFFFF) + 2)))  # past the hint
            thunk += thunk_size
        descriptor += 20
    return imports


def read_list(path):
    """{dll (lower case): set of functions, or None for the whole library}."""
    refused = {}
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            dll, _, function = line.partition("!")
            dll = dll.strip().lower()
            if function.strip():
                functions = refused.setdefault(dll, set())
                if functions is not None:
                    functions.add(function.strip())
            else:
                refused[dll] = None
    return refused


def refused_imports(imports, refused):
    found = []
    for dll, function in imports:
        if dll.lower() not in refused:
            continue
        functions = refused[dll.lower()]
        if functions is None or function in functions:
            found.append("%s!%s" % (dll, function))
    return found


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    refused = read_list(argv[1])
    expect_found = argv[2] == "--expect-found"
    failures = 0
    for exe in argv[3:] if expect_found else argv[2:]:
        try:
            imports = read_imports(exe)
        except (OSError, PeError, struct.error, ValueError) as error:
            print("FAIL %s: %s" % (exe, error))
            failures += 1
            continue
        dlls = sorted({dll for dll, _ in imports}, key=str.lower)
        found = refused_imports(imports, refused)
        if not any(dll.lower() == "kernel32.dll" for dll in dlls):
            print("FAIL %s: no KERNEL32.dll imports read" % exe)
            failures += 1
        elif expect_found:
            print("%s %s: catches %s" % ("ok  " if found else "FAIL", exe, ", ".join(found) or "nothing"))
            failures += 0 if found else 1
        else:
            print("%s %s: %d imports from %s" % ("FAIL" if found else "ok  ", exe, len(imports), " ".join(dlls)))
            for name in found:
                print("     newer than Windows XP: %s" % name)
            failures += 1 if found else 0
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
