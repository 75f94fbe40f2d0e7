#!/usr/bin/python3
# Prints a Windows 9x registry file (SYSTEM.DAT, USER.DAT) as libcreg reads it, in the canonical form that
# hive_view prints for the project's own reader, so that the two compare line by line:
#
#   K <TAB> path                                    one line per key below the file's root
#   V <TAB> path <TAB> name <TAB> type <TAB> data   one line per value (the root's own with an empty path)
#
# sorted by bytes. Paths are the key names below the file's root joined by backslashes; data is every byte
# the file stores, in lower-case hex. Names are Windows-1252 bytes: printable ASCII as it is (but the
# backslash), any other byte as \xNN.
# libcreg hands out names decoded from Windows-1252 and a byte that code page leaves undefined as U+FFFD,
# so such a byte prints as \x?? on both sides.
#
# Exits 1 with a message when libcreg cannot open the file, reports the file, a key or a value as
# corrupted, or finds a key below itself.
# usage: libcreg_view.py FILE
import sys

try:
    import pycreg
except ImportError:
    sys.exit("libcreg_view.py: the pycreg module is missing (Debian: apt-get install python3-libcreg)")


def escape(name):
    out = []
    for ch in name or "":
        if ch == "\ufffd":
            out.append("\\x??")
            continue
        for byte in ch.encode("cp1252"):
            out.append(chr(byte) if 0x20 <= byte <= 0x7E and byte != 0x5C else "\\x%02x" % byte)
    return "".join(out)


def data_of(value):
    """The value's bytes as the file stores them, every one of them."""
    return (value.data or b"").hex()


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: libcreg_view.py FILE")
    path = sys.argv[1]
    registry = pycreg.file()
    try:
        registry.open(path)
    except Exception as error:  # pycreg raises IOError and others
        sys.exit("libcreg_view.py: %s: libcreg cannot open it: %s" % (path, error))
    lines = []
    try:
        if registry.is_corrupted():
            sys.exit("libcreg_view.py: %s: libcreg reports the file corrupted" % path)
        # Each pending item: a key, its path, and the offsets of the keys above it (a key below itself
        # would make the walk endless).
        pending = [(registry.get_root_key(), "", ())]
        while pending:
            key, key_path, above = pending.pop()
            # The root key has no key record in Windows' files (no name, no values): libcreg cannot tell
            # whether that is corrupted, so only the keys below it are asked.
            if key_path and key.is_corrupted():
                sys.exit("libcreg_view.py: %s: key '%s' is corrupted" % (path, key_path))
            if key.offset in above:
                sys.exit("libcreg_view.py: %s: key '%s' lies below itself" % (path, key_path))
            if key_path:
                lines.append("K\t" + key_path)
            for value in key.values:
                if value.is_corrupted():
                    sys.exit("libcreg_view.py: %s: a value of '%s' is corrupted" % (path, key_path))
                lines.append("V\t%s\t%s\t%d\t%s" % (key_path, escape(value.name), value.type, data_of(value)))
            for sub_key in key.sub_keys:
                name = escape(sub_key.name)
                pending.append((sub_key, key_path + "\\" + name if key_path else name, above + (key.offset,)))
    except SystemExit:
        raise
    except Exception as error:
        sys.exit("libcreg_view.py: %s: libcreg fails reading it: %s" % (path, error))
    finally:
        registry.close()
    lines.sort(key=lambda line: line.encode("ascii"))
    sys.stdout.write("".join(line + "\n" for line in lines))


if __name__ == "__main__":
    main()
