#!/usr/bin/env python3
"""A whole offline install under 32-bit Wine: figures to track, not a test.

An offline package whose payload holds TOTAL MiB of LZMA setup files (FILES
files of the same deterministic, mixed-compressibility content as
extract_bench.py) plus the sample setup master morrow.exe is built once and
kept in the work folder (LZMA level 9 over 200 MiB takes minutes; it is built
again when sfx.exe, morrow.exe or the sizes change). Then it is installed
RUNS times on a private clone of the test Wine prefix, through launch.exe:

  PACKAGE /silent /offline /install-path=C:\\bench-installed

For each run it prints:
  to master  from the log's first record of the run ("*** Starting SFX") to
             the launch of the setup master ("Start of run_process"), from
             the millisecond time stamps of sfx.log;
  master     from that launch to the log's last record (the setup master
             copies and hashes the files, then the program cleans up);
  wall       the whole run as the caller sees it (launch.exe included);
  peak RSS   VmHWM of the Linux process that runs the package under Wine
             (the kernel's high-water mark of its resident set; on an x86-64
             host that runs 32-bit code through qemu-user this is the qemu
             process, its own memory included);
  peak anon  the largest RssAnon seen while polling /proc (private memory);
  peak file  the largest RssFile seen (mapped package, DLLs and files);
and the median of each. The same two figures of launch.exe, a Win32 program
that only waits, show the floor that Wine itself puts under every process.

Usage: bench/wine_install_bench.py [--sfxtool PATH] [--win32-build DIR]
          [--work DIR] [--total MIB] [--files N] [--runs N] [--interval S]
"""
import argparse
import hashlib
import os
import re
import shutil
import statistics
import sys
import threading
import time
from datetime import datetime

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.abspath(os.path.join(BENCH_DIR, ".."))
INSTALL = "C:\\bench-installed"
PROGRAM_NAME = "kro-bench-package.exe"
RECORD = re.compile(rb"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\] ")


def parse_options():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sfxtool", default=os.path.join(SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
    p.add_argument("--win32-build", default=os.path.join(SOURCE_DIR, "build", "win32"),
                   help="Windows build with src/main/sfx.exe, tests/launch.exe, samples/morrow.exe, wineprefix")
    p.add_argument("--work", default=os.path.join("/tmp", "kro-wine-install-bench"))
    p.add_argument("--total", type=int, default=200, help="MiB of LZMA setup files")
    p.add_argument("--files", type=int, default=10)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--interval", type=float, default=0.01, help="seconds between /proc polls")
    p.add_argument("--timeout", type=int, default=1800, help="seconds for one run")
    return p.parse_args()


def setup_environment(options):
    """The e2e helpers read their paths from the environment when imported:
    the programs come from the Windows build (read only), the private prefixes
    go into the work folder."""
    build = os.path.abspath(options.win32_build)
    os.environ.update({
        "KRO_SOURCE_DIR": SOURCE_DIR,
        "KRO_BUILD_DIR": os.path.abspath(options.work),
        "KRO_SFX": os.path.join(build, "src", "main", "sfx.exe"),
        "KRO_TOOLS_DIR": os.path.join(build, "tests"),
        "KRO_WINEPREFIX": os.environ.get("KRO_WINEPREFIX", os.path.join(build, "wineprefix")),
        "KRO_SAMPLES_DIR": os.path.join(build, "samples"),
        "KRO_SFXTOOL": os.path.abspath(options.sfxtool),
    })
    for path in (os.environ["KRO_SFX"], os.path.join(build, "tests", "launch.exe"),
                 os.path.join(build, "samples", "morrow.exe"), options.sfxtool):
        if not os.path.exists(path):
            sys.exit("wine_install_bench: missing %s (build the host and win32 presets first)" % path)
    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
    sys.path.insert(0, BENCH_DIR)


def digest_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def build_package(options):
    import extract_bench
    import kro_e2e as e2e
    import package
    work = os.path.abspath(options.work)
    path = os.path.join(work, "package", "package.exe")
    stamp = os.path.join(work, "made-for")
    wanted = "%d files, %d MiB, sfx.exe %s, morrow.exe %s\n" % (
        options.files, options.total, digest_of(e2e.SFX), digest_of(package.MORROW))
    if os.path.exists(path) and os.path.exists(stamp) and open(stamp).read() == wanted:
        return path
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    generated = os.path.join(work, "generated")
    print("generating %d files, %d MiB of setup files ..." % (options.files, options.total), flush=True)
    extract_bench.generate(generated, options.files, options.total)
    setup = [("morrow.exe", package.morrow_bytes())]
    for folder in sorted(os.listdir(generated)):
        for name in sorted(os.listdir(os.path.join(generated, folder))):
            with open(os.path.join(generated, folder, name), "rb") as f:
                setup.append((folder + "\\" + name, f.read()))
    shutil.rmtree(generated)
    print("packing (LZMA level 9, takes a while) ...", flush=True)
    started = time.monotonic()
    package.make_offline_package(os.path.dirname(path), setup_files=setup,
                                 lzma={name for name, _ in setup if name != "morrow.exe"})
    print("packed in %.0f s" % (time.monotonic() - started), flush=True)
    # Only the package is kept: the records written beside it are copies.
    for name in os.listdir(os.path.dirname(path)):
        if name != "package.exe":
            os.remove(os.path.join(os.path.dirname(path), name))
    with open(stamp, "w") as f:
        f.write(wanted)
    return path


# -- memory -----------------------------------------------------------------
def status_fields(pid):
    out = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile", "VmPeak"):
                    out[key] = int(value.split()[0]) * 1024
    except OSError:
        pass
    return out


def wine_processes(prefix, needle):
    """Pids of the Linux processes of this prefix whose command line holds
    needle (Wine puts the Windows command line there)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
            if needle.encode().lower() not in cmdline.lower():
                continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() + b"\0" not in f.read():
                    continue
        except OSError:
            continue
        pids.append(int(entry))
    return pids


class MemoryWatch(threading.Thread):
    """Polls /proc for the processes of a prefix while a run goes on and keeps
    the highest VmHWM and RssAnon seen per process. Wine's start of a program
    passes through a short-lived process with the same command line, so a
    kind's figures are those of its process with the highest VmHWM."""

    def __init__(self, prefix, needles, interval):
        super().__init__(daemon=True)
        self.prefix, self.needles, self.interval = prefix, needles, interval
        self.seen = {n: {} for n in needles}  # needle -> pid -> {"VmHWM", "RssAnon"}
        self.exe = {}
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            for needle in self.needles:
                for pid in wine_processes(self.prefix, needle):
                    fields = status_fields(pid)
                    if not fields:
                        continue
                    peak = self.seen[needle].setdefault(pid, {"VmHWM": 0, "RssAnon": 0, "RssFile": 0})
                    peak["VmHWM"] = max(peak["VmHWM"], fields.get("VmHWM", 0))
                    peak["RssAnon"] = max(peak["RssAnon"], fields.get("RssAnon", 0))
                    peak["RssFile"] = max(peak["RssFile"], fields.get("RssFile", 0))
                    if needle not in self.exe:
                        try:
                            self.exe[needle] = os.readlink("/proc/%d/exe" % pid)
                        except OSError:
                            pass
            self.stop.wait(self.interval)

    def peak(self, needle):
        """(VmHWM, RssAnon, RssFile, processes seen) of the kind's largest process."""
        seen = self.seen[needle]
        if not seen:
            return 0, 0, 0, 0
        top = max(seen.values(), key=lambda p: p["VmHWM"])
        return top["VmHWM"], top["RssAnon"], top["RssFile"], len(seen)


# -- one run ------------------------------------------------------------------
def log_times(path):
    """(start of the run, launch of the setup master, last record) from the
    time stamps of sfx.log, as datetimes."""
    with open(path, "rb") as f:
        lines = f.read().lstrip(b"\xef\xbb\xbf").split(b"\r\n")
    start = launch = last = None
    for line in lines:
        m = RECORD.match(line)
        if not m:
            continue
        when = datetime.strptime(m.group(1).decode(), "%Y-%m-%d %H:%M:%S.%f")
        last = when
        if start is None and b"*** Starting SFX" in line:
            start = when
        if launch is None and b"Start of run_process '" in line:
            launch = when
    if start is None or launch is None:
        raise RuntimeError("sfx.log has no start or no launch record:\n" + "\n".join(
            line.decode("utf-8", "replace") for line in lines[:40]))
    return start, launch, last


def one_run(prefix, program, options):
    import json
    shutil.rmtree(prefix.unix(INSTALL), ignore_errors=True)
    os.makedirs(prefix.log_dir, exist_ok=True)
    for name in os.listdir(prefix.log_dir):
        os.remove(os.path.join(prefix.log_dir, name))
    watch = MemoryWatch(prefix.path, [PROGRAM_NAME, "launch.exe", "morrow.exe"], options.interval)
    watch.start()
    try:
        code, wall = prefix.run_sfx(program, "/silent /offline /install-path=" + INSTALL, timeout=options.timeout)
    finally:
        watch.stop.set()
        watch.join()
    if code != 0:
        raise RuntimeError("the install ended with exit code %d; see %s" % (code, prefix.log_file))
    with open(os.path.join(prefix.unix(INSTALL), "morrow-report.json"), encoding="utf-8") as f:
        report = json.load(f)
    bad = [f["name"] for f in report["files"] if not f["ok"]]
    if len(report["files"]) != options.files + 1 or bad:
        raise RuntimeError("the setup master did not find every file intact: %s" % (bad or report["files"]))
    start, launch, last = log_times(prefix.log_file)
    return {
        "to_master": (launch - start).total_seconds(),
        "master": (last - launch).total_seconds(),
        "wall": wall,
        "peak_rss": watch.peak(PROGRAM_NAME)[0],
        "peak_anon": watch.peak(PROGRAM_NAME)[1],
        "peak_file": watch.peak(PROGRAM_NAME)[2],
        "processes": watch.peak(PROGRAM_NAME)[3],
        "floor_rss": watch.peak("launch.exe")[0],
        "floor_anon": watch.peak("launch.exe")[1],
        "master_rss": watch.peak("morrow.exe")[0],
        "exe": watch.exe.get(PROGRAM_NAME, "?"),
    }


def mib(n):
    return "%.1f" % (n / 2**20)


def main():
    options = parse_options()
    setup_environment(options)
    import kro_e2e as e2e
    path = build_package(options)
    prefix = e2e.Prefix("bench")
    try:
        prefix.start_server()
        program = prefix.install_sfx(path, PROGRAM_NAME)
        runs = []
        for n in range(options.runs):
            print("run %d of %d ..." % (n + 1, options.runs), flush=True)
            runs.append(one_run(prefix, program, options))
    finally:
        prefix.close()

    size = os.path.getsize(path)
    print()
    print("package: %s MiB (%d LZMA files, %d MiB unpacked, plus morrow.exe)" % (mib(size), options.files,
                                                                                 options.total))
    print("command: %s /silent /offline /install-path=%s" % (PROGRAM_NAME, INSTALL))
    print()
    header = "%-8s %11s %9s %8s %13s %14s %14s" % ("run", "to master s", "master s", "wall s", "peak RSS MiB",
                                                   "peak anon MiB", "peak file MiB")
    print(header)
    print("-" * len(header))
    for n, r in enumerate(runs, 1):
        print("%-8s %11.3f %9.3f %8.3f %13s %14s %14s" % (n, r["to_master"], r["master"], r["wall"],
                                                          mib(r["peak_rss"]), mib(r["peak_anon"]),
                                                          mib(r["peak_file"])))
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0] if k != "exe"}
    print("%-8s %11.3f %9.3f %8.3f %13s %14s %14s" % ("median", med["to_master"], med["master"], med["wall"],
                                                      mib(med["peak_rss"]), mib(med["peak_anon"]),
                                                      mib(med["peak_file"])))
    print()
    print("Wine floor (launch.exe, a program that only waits): peak RSS %s MiB, anon %s MiB; "
          "setup master morrow.exe: peak RSS %s MiB" % (mib(med["floor_rss"]), mib(med["floor_anon"]),
                                                        mib(med["master_rss"])))
    print("peak RSS of the package above the Wine floor: %s MiB (median)" % mib(med["peak_rss"] - med["floor_rss"]))
    print("Linux processes with the package's command line per run: %s (figures: the largest); run by: %s" % (
        sorted(set(r["processes"] for r in runs)), runs[0]["exe"]))
    print()
    emulated = "qemu" in runs[0]["exe"]
    note = ("These figures come from 32-bit Wine on Linux%s: no measure of speed or memory on Windows, "
            "only figures to track from one change to the next on the same machine. Peak RSS is the kernel's "
            "VmHWM of the Linux process that runs the package: like Windows' peak working set it counts the "
            "program's DLL pages and the touched pages of mapped views (the package itself), but it also counts "
            "Wine's own libraries%s, so it stays above the Windows figure; the package's figure less the floor "
            "of launch.exe is the nearer estimate. Peak anon and peak file are sampled every %g s: the largest "
            "private (anonymous) and file-backed (mapped package, DLLs, files) resident sets seen." % (
                " under qemu-user emulation" if emulated else "",
                " and qemu's translated-code cache and heap" if emulated else "", options.interval))
    import textwrap
    print(textwrap.fill(note, 100))

if __name__ == "__main__":
    main()
