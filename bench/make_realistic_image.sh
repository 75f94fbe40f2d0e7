#!/usr/bin/env bash
# Makes a disk image of the example Windows 98 machine grown to a real installation's size: about 5,500 files
# of about 150 MB in WINDOWS, in the folders Windows 98 has (SYSTEM with IOSUBSYS and VMM32, INF and
# INF/OTHER, FONTS, HELP, COMMAND, CURSORS, MEDIA, Start Menu, Temporary Internet Files, History, Application
# Data ...), a few hundred of them, many with long names. The example machine's own files (the card's
# drivers, INF files and registry) lie among them. The file list is made from a fixed seed, so that every
# benchmark measures the same machine; the files hold zeros (the image stays sparse).
# Usage: bash bench/make_realistic_image.sh OUT.img [--big MB]
#   --big MB   the card's CMAUDIO.VXD is MB megabytes (a run then digests and backs up a file that large)
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: bash bench/make_realistic_image.sh OUT.img [--big MB]" >&2; exit 2; }
out=$1
big=0
[ $# -lt 3 ] || [ "$2" != --big ] || big=$3
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

# The tree: one "size path" line per file, folders made on the way.
python3 - "$tree/WINDOWS" <<'EOF'
import os, random, sys
random.seed(98)
root = sys.argv[1]
files = []

def add(folder, count, names, low, high):
    for i in range(count):
        files.append((os.path.join(folder, names(i)), random.randint(low, high)))

def short(stem, ext):
    return lambda i: "%s%04d.%s" % (stem, i, ext)

def pick(exts, stem):
    return lambda i: "%s%04d.%s" % (stem, i, random.choice(exts))

add("", 140, pick(["EXE", "INI", "TXT", "BMP", "LOG", "DLL", "PIF", "CNT"], "W"), 200, 250000)
add("SYSTEM", 1950, pick(["DLL", "DLL", "DLL", "VXD", "DRV", "OCX", "EXE", "CPL", "TLB", "386", "ACM"], "S"),
    2000, 65000)
add("SYSTEM/IOSUBSYS", 45, pick(["VXD", "PDR", "MPD"], "IO"), 4000, 60000)
add("SYSTEM/VMM32", 35, short("VMM", "VXD"), 4000, 60000)
add("SYSTEM/COLOR", 12, short("PROFILE", "ICM"), 400, 9000)
add("SYSTEM/VIEWERS", 40, pick(["DLL", "EXE", "INI"], "VIEW"), 2000, 80000)
add("SYSTEM/OOBE", 60, pick(["HTM", "JS", "GIF", "CSS"], "OOBE"), 300, 20000)
add("SYSTEM/ShellExt", 8, short("SHEXT", "DLL"), 4000, 40000)
add("SYSTEM/Macromed/Flash", 4, short("FLASH", "OCX"), 40000, 200000)
add("INF", 850, short("INF", "INF"), 800, 60000)
add("INF/OTHER", 45, lambda i: "Vendor Driver Setup %d.INF" % i, 1000, 40000)
add("FONTS", 150, pick(["TTF", "TTF", "FON"], "FONT"), 8000, 120000)
add("HELP", 400, pick(["HLP", "CHM", "CNT", "GID"], "HELP"), 2000, 50000)
add("COMMAND", 75, pick(["COM", "EXE", "SYS"], "CMD"), 1000, 60000)
add("COMMAND/EBD", 20, pick(["COM", "SYS", "BAT"], "EBD"), 200, 40000)
add("CURSORS", 70, pick(["CUR", "ANI"], "CUR"), 300, 12000)
add("MEDIA", 45, lambda i: "Windows Sound %d.wav" % i, 5000, 250000)
add("Web", 40, pick(["HTT", "GIF", "JPG"], "WEB"), 300, 30000)
add("Web/Wallpaper", 10, lambda i: "Wallpaper %d.jpg" % i, 20000, 200000)
add("ShellNew", 6, short("NEW", "DOC"), 100, 5000)
add("Cookies", 90, lambda i: "user@site%d.txt" % i, 80, 600)
add("Recent", 60, lambda i: "Document %d.lnk" % i, 200, 600)
add("SendTo", 6, lambda i: "Send Target %d.lnk" % i, 200, 600)
add("Desktop", 12, lambda i: "Shortcut %d.lnk" % i, 200, 600)
add("Favorites", 15, lambda i: "Favorite Site %d.url" % i, 80, 300)
add("Favorites/Links", 6, lambda i: "Link %d.url" % i, 80, 300)
add("SYSBCKUP", 12, pick(["DLL", "VXD", "DRV"], "BAK"), 2000, 60000)
add("Downloaded Program Files", 6, pick(["OCX", "INF"], "DPF"), 2000, 60000)
add("Java/classes", 10, short("CLASS", "ZIP"), 20000, 200000)
add("Java/Packages", 20, short("PKG", "ZIP"), 20000, 200000)
add("PIF", 25, short("PIF", "PIF"), 900, 1000)
add("Config", 12, pick(["IDF", "INI"], "CFG"), 200, 4000)
add("Tasks", 4, lambda i: "Scheduled Task %d.job" % i, 200, 900)
add("TEMP", 80, short("~DF", "TMP"), 0, 60000)
for i in range(24):
    add("Start Menu/Programs/Application Group %d" % i, 6, lambda j: "Program Shortcut %d.lnk" % j, 200, 600)
add("Start Menu/Programs/Accessories", 12, lambda j: "Accessory Program %d.lnk" % j, 200, 600)
add("Start Menu/Programs/Accessories/System Tools", 8, lambda j: "System Tool %d.lnk" % j, 200, 600)
add("Start Menu/Programs/StartUp", 3, lambda j: "Startup Item %d.lnk" % j, 200, 600)
for i in range(4):
    add("Temporary Internet Files/Content.IE5/CACHE%03d" % i, 90, lambda j: "page%d[1].htm" % j, 500, 40000)
for i in range(200):
    add("History/History.IE5/MSHist%014d" % (1999010119990108 + i * 7), 3, lambda j: "index%d.dat" % j, 1000, 16000)
for i in range(40):
    add("Application Data/Vendor %d/Program Settings" % i, 3, lambda j: "settings%d.dat" % j, 100, 8000)
add("Application Data/Microsoft/Internet Explorer/Quick Launch", 4, lambda j: "Quick Item %d.lnk" % j, 200, 600)

folders = set()
total = 0
for path, size in files:
    full = os.path.join(root, path)
    folder = os.path.dirname(full)
    if folder not in folders:
        os.makedirs(folder, exist_ok=True)
        folders.add(folder)
    with open(full, "wb") as f:
        f.truncate(size)
    total += size
print("%d files, %d folders, %.0f MB" % (len(files), len(folders), total / 1048576.0), file=sys.stderr)
EOF

# 512 MB: room for the tree and for a large driver file beside it.
size=512
[ "$big" = 0 ] || size=$((512 + big * 2))
bash "$source_dir/examples/make_disk_image.sh" "$out" fat32 --size $size
at=$(sfdisk -d "$out" | awk -F'start= *' '/start=/ { split($2, f, ","); print f[1] * 512; exit }')
if [ "$big" != 0 ]; then
    mcopy -i "$out@@$at" ::/WINDOWS/SYSTEM/CMAUDIO.VXD "$tree/CMAUDIO.VXD"
    truncate -s "${big}M" "$tree/CMAUDIO.VXD"
    mcopy -o -i "$out@@$at" "$tree/CMAUDIO.VXD" ::/WINDOWS/SYSTEM/CMAUDIO.VXD
fi
# -D s: a generated name that falls on one of the example machine's is skipped.
mcopy -s -D s -i "$out@@$at" "$tree/WINDOWS" ::/
