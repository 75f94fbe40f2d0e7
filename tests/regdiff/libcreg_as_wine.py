#!/usr/bin/python3
# Prints Windows 9x registry files as libcreg reads them, in the canonical form in which reg_dump.exe
# prints Wine's registry (see reg_dump_win32.c), each file's keys below a key of that dump:
#
#   K <path>                           every key, the file's root key as <base> itself
#   V <path> "<name>" <type> <bytes>   every value (@ for the default value), bytes as hex pairs joined by commas
#
# subkeys and values sorted by name, ASCII case folded, then by bytes; names as Windows-1252 bytes,
# unprintable ones, '"' and '\' as \xNN. A value's bytes are those the file stores, as Wine holds them
# once a REGEDIT4 file carrying them is imported: Wine (like Windows NT) keeps a REG_SZ, REG_EXPAND_SZ or
# REG_MULTI_SZ that does not end in a zero byte with one added, and an empty REG_SZ (text in quotes) as a
# zero byte; Windows 9x keeps the bytes alone.
# usage: libcreg_as_wine.py FILE BASE [FILE BASE]...
import sys

try:
    import pycreg
except ImportError:
    sys.exit("libcreg_as_wine.py: the pycreg module is missing (Debian: apt-get install python3-libcreg)")


def name_bytes(name):
    return (name or "").encode("cp1252")


def shown(raw):
    return "".join(chr(b) if 0x20 <= b <= 0x7E and b not in (0x22, 0x5C) else "\\x%02x" % b for b in raw)


def order(raw):
    return (raw.lower(), raw)


def as_wine_holds_it(value_type, data):
    if not data:
        return b"\0" if value_type == 1 else b""
    if value_type in (1, 2, 7) and not data.endswith(b"\0"):
        return data + b"\0"
    return data


def dump(key, path, out):
    out.append("K " + path)
    values = sorted(key.values, key=lambda v: order(name_bytes(v.name)))
    for value in values:
        raw = name_bytes(value.name)
        name = '"%s"' % shown(raw) if raw else "@"
        data = as_wine_holds_it(value.type, value.data or b"")
        out.append(("V %s %s %d " % (path, name, value.type) + ",".join("%02x" % b for b in data)).rstrip())
    for sub_key in sorted(key.sub_keys, key=lambda k: order(name_bytes(k.name))):
        dump(sub_key, path + "\\" + shown(name_bytes(sub_key.name)), out)


def main():
    arguments = sys.argv[1:]
    if not arguments or len(arguments) % 2:
        sys.exit("usage: libcreg_as_wine.py FILE BASE [FILE BASE]...")
    out = []
    for path, base in zip(arguments[0::2], arguments[1::2]):
        registry = pycreg.file()
        try:
            registry.open(path)
            dump(registry.get_root_key(), base, out)
        except Exception as error:  # pycreg raises IOError and others
            sys.exit("libcreg_as_wine.py: %s: libcreg cannot read it: %s" % (path, error))
        finally:
            registry.close()
    sys.stdout.write("".join(line + "\n" for line in out))


if __name__ == "__main__":
    main()
