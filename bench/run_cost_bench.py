#!/usr/bin/env python3
"""What a whole run costs against what its registry files cost.

Builds machines of 40,000 and 320,000 keys (registry_file_bench --generate), a quarter of them PCI devices
whose Driver values name MEDIA classes with the card's device key after them, in both forms: registry.reg,
and WINDOWS/SYSTEM.DAT with USER.DAT. For each, over several repetitions, each on a fresh copy of the
machine, it times a whole run of the offline program (--answer yes --no-backup -q) and, in the same
repetition, a durable copy of the same registry files (read whole, write to a new file beside, fsync,
rename over, fsync the folder). Prints the medians, the run's ratio to the copy, the run's time per key and
how it grows from the smallest size to the largest, and the run's peak memory against the files' size (from
/usr/bin/time, Debian's package time, which forks the run from its own small process). The figures are
reported, never enforced: the exit code says only whether every run succeeded and removed the card.

usage: run_cost_bench.py [--tool PATH] [--generator PATH] [--sizes N,N] [--repeat N] [--form regedit4|dat|both]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CARD_KEY = "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10"


def registry_files(machine, form):
    if form == "regedit4":
        return [os.path.join(machine, "registry.reg")]
    return [os.path.join(machine, "WINDOWS", name) for name in ("SYSTEM.DAT", "USER.DAT")]


def durable_copy(files):
    """Seconds to copy each file durably over itself, as a save of the registry does at least."""
    start = time.perf_counter()
    for path in files:
        temporary = path + ".copy"
        out = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            with open(path, "rb", buffering=0) as source:
                while data := source.read(1 << 20):
                    view = memoryview(data)
                    while view:
                        view = view[os.write(out, view):]
            os.fsync(out)
        finally:
            os.close(out)
        os.rename(temporary, path)
        folder = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)
    return time.perf_counter() - start


def whole_run(tool, machine, scratch):
    """(seconds, peak KiB) of one run of the offline program, which must remove the card.

    The peak comes from /usr/bin/time, which forks the run from its own small process: a child started
    straight from this one would be charged this process's own peak, which Linux carries over exec."""
    peak_file = os.path.join(scratch, "peak")
    start = time.perf_counter()
    run = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file, tool, "--machine", machine, "--answer",
                          "yes", "--no-backup", "-q"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if run.returncode != 0:
        raise RuntimeError("the run failed (%d): %s" % (run.returncode, run.stderr.decode(errors="replace")))
    with open(peak_file) as peak:
        return seconds, int(peak.read().split()[-1])


def card_gone(tool, machine):
    """The run removed the card's device key: --check lists no device key of the card."""
    check = subprocess.run([tool, "--machine", machine, "--check"], capture_output=True, text=True)
    return check.returncode == 0 and "device-key" not in check.stdout


def measure(tool, generator, scratch, form, keys, repeat):
    master = os.path.join(scratch, "%s-%d" % (form, keys))
    command = [generator, "--generate", master, "--sizes", str(keys), "--media-devices", str(keys // 4)]
    if form == "dat":
        command.append("--binary")
    subprocess.run(command, check=True)
    size = sum(os.path.getsize(path) for path in registry_files(master, form))
    runs, copies, peaks = [], [], []
    work = os.path.join(scratch, "work")
    for _ in range(repeat):
        for copy in (True, False):
            shutil.rmtree(work, ignore_errors=True)
            shutil.copytree(master, work)
            os.sync()
            if copy:
                copies.append(durable_copy(registry_files(work, form)))
            else:
                seconds, peak = whole_run(tool, work, scratch)
                runs.append(seconds)
                peaks.append(peak)
    if not card_gone(tool, work):
        raise RuntimeError("the run left the card's device key in " + master)
    shutil.rmtree(master)
    shutil.rmtree(work, ignore_errors=True)
    return {"keys": keys, "size": size, "run": statistics.median(runs), "copy": statistics.median(copies),
            "peak": max(peaks) * 1024}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    build = os.path.join(os.path.dirname(HERE), "build", "default")
    parser.add_argument("--tool", default=os.path.join(build, "cmpci-uninstall"))
    parser.add_argument("--generator", default=os.path.join(build, "bench", "registry_file_bench"))
    parser.add_argument("--sizes", default="40000,320000")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--form", choices=("regedit4", "dat", "both"), default="both")
    args = parser.parse_args()
    sizes = [int(word) for word in args.sizes.split(",")]
    forms = ["regedit4", "dat"] if args.form == "both" else [args.form]
    for program in (args.tool, args.generator):
        if not os.access(program, os.X_OK):
            sys.exit("run_cost_bench.py: build %s first" % program)

    print("%-9s %8s %9s %9s %9s %8s %10s %8s %9s" % ("form", "keys", "files MB", "run (s)", "copy (s)", "x copy",
                                                     "us/key", "peak MB", "x files"))
    with tempfile.TemporaryDirectory() as scratch:
        for form in forms:
            rows = []
            for keys in sizes:
                row = measure(args.tool, args.generator, scratch, form, keys, args.repeat)
                rows.append(row)
                print("%-9s %8d %9.1f %9.3f %9.3f %8.1f %10.2f %8.1f %9.2f" % (
                    form, keys, row["size"] / 1e6, row["run"], row["copy"], row["run"] / row["copy"],
                    row["run"] / keys * 1e6, row["peak"] / 1e6, row["peak"] / row["size"]), flush=True)
            if len(rows) > 1:
                first, last = rows[0], rows[-1]
                growth = (last["run"] / last["keys"]) / (first["run"] / first["keys"])
                print("%-9s time per key at %d keys is %.2fx that at %d" % (form, last["keys"], growth,
                                                                            first["keys"]))


if __name__ == "__main__":
    main()
