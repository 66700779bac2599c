#!/usr/bin/env python3
"""sfxtool extract against its peers, in the same run.

An offline package whose payload holds TOTAL MiB of LZMA setup files (FILES
files, deterministic content of mixed compressibility: incompressible runs,
text, structured binary tables, zero and low-entropy runs) is built once and
kept in the work folder. Then, several times and alternating:

  ours  `sfxtool extract PACKAGE -o DIR`: signature check of the whole package,
        LZMA decoding of every file into its target, SHA-256 check of each;
  peer  for the very same LZMA streams (cut out of the package as .lzma files):
        `xz -d --format=lzma -c F.lzma > F` for each file, then `sha256sum` over
        all unpacked files.

Prints the best time of each and the ratio ours / peer (goal: at most 1.2).
Usage: bench/extract_bench.py [--sfxtool PATH] [--stub SFX.EXE] [--work DIR]
                              [--total MIB] [--files N] [--runs N]
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BLOCK = 64 * 1024


def block_of(rng, vocabulary):
    kind = rng.random()
    if kind < 0.30:  # compressed resources, images: incompressible
        return rng.randbytes(BLOCK)
    if kind < 0.60:  # text: manifests, scripts, localisation
        words = rng.choices(vocabulary, k=BLOCK // 5)
        return (" ".join(words).encode() + b"\n")[:BLOCK].ljust(BLOCK, b" ")
    if kind < 0.85:  # code and tables: regular records with small noise
        base = rng.randrange(1 << 24)
        noise = rng.randbytes(BLOCK // 8)
        return b"".join(struct.pack("<IHBB", base + 16 * i, i & 0x3FF, noise[i] & 0x0F, 0x90)
                        for i in range(BLOCK // 8))
    # zero padding and low-entropy runs
    return bytes(BLOCK) if kind < 0.95 else bytes(rng.choice(b"\x00\xff\x01") for _ in range(BLOCK))


def generate(folder, files, total_mib):
    rng = random.Random(20240601)
    letters = "etaoinshrdlucmfwypvbgkqjxz"
    vocabulary = ["".join(rng.choices(letters, k=rng.randint(2, 10))) for _ in range(3000)]
    per_file = total_mib * 1024 * 1024 // files
    os.makedirs(folder, exist_ok=True)
    for n in range(files):
        name = os.path.join(folder, "bin" if n % 2 else "data", "part%02d.bin" % n)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "wb") as f:
            for _ in range(per_file // BLOCK):
                f.write(block_of(rng, vocabulary))


def run(args, **kw):
    subprocess.run(args, check=True, **kw)


def build(options, work):
    """The package and the raw LZMA streams of its setup files, made once."""
    stamp = os.path.join(work, "made-for")
    wanted = "%d files, %d MiB\n" % (options.files, options.total)
    package = os.path.join(work, "offline.exe")
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return package
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    setup = os.path.join(work, "setup")
    print("generating %s of setup files ..." % wanted.strip(), flush=True)
    generate(setup, options.files, options.total)
    key = os.path.join(SOURCE_DIR, "keys", "dev-private", "G.txt")
    info = os.path.join(work, "sfx-info.xml")
    shutil.copy(os.path.join(SOURCE_DIR, "samples", "sfx-info.xml"), info)
    run([options.sfxtool, "sign-xml", "--key", key, info])
    pi = os.path.join(work, "product-info.xml")
    run([options.sfxtool, "product-info", "--name", "morrow", "--version", "1.0", "--key", key, "-o", pi,
         "--time", "1700000000", "--executable", "data/part00.bin", setup], stdout=subprocess.DEVNULL)
    print("packing (LZMA level 9, takes a while) ...", flush=True)
    started = time.monotonic()
    run([options.sfxtool, "pack", "--stub", options.stub, "--info", info, "--key", key, "--product-info", pi,
         "--setup-dir", setup, "--lzma-setup", "--time", "1700000000", "-o", package], stdout=subprocess.DEVNULL)
    print("packed in %.0f s" % (time.monotonic() - started))
    # The same LZMA streams for the peer, cut out of the package.
    report = subprocess.run([options.sfxtool, "inspect", package], capture_output=True, text=True).stdout
    raw = os.path.join(work, "raw")
    os.makedirs(raw)
    with open(package, "rb") as f:
        data = f.read()
    for size, offset, digest, alias in re.findall(
            r"lzma, (\d+) bytes at 0x([0-9a-f]+), .*\n\s+sha-256 ([0-9a-f]+), alias '([^']+)'", report):
        with open(os.path.join(raw, alias.replace("/", "_") + ".lzma"), "wb") as f:
            f.write(data[int(offset, 16):int(offset, 16) + int(size)])
    shutil.rmtree(setup)
    with open(stamp, "w") as f:
        f.write(wanted)
    return package


def ours(options, package, out):
    shutil.rmtree(out, ignore_errors=True)
    started = time.monotonic()
    run([options.sfxtool, "extract", package, "-o", out], stdout=subprocess.DEVNULL)
    return time.monotonic() - started


def peer(raw, out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    streams = sorted(os.listdir(raw))
    started = time.monotonic()
    for name in streams:
        with open(os.path.join(out, name[:-5]), "wb") as target:
            run(["xz", "-d", "--format=lzma", "-c", os.path.join(raw, name)], stdout=target)
    run(["sha256sum"] + [os.path.join(out, name[:-5]) for name in streams], stdout=subprocess.DEVNULL)
    return time.monotonic() - started


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sfxtool", default=os.path.join(SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
    p.add_argument("--stub", default=os.path.join(SOURCE_DIR, "build", "win32", "src", "main", "sfx.exe"))
    p.add_argument("--work", default=os.path.join("/tmp", "kro-extract-bench"))
    p.add_argument("--total", type=int, default=200, help="MiB of setup files")
    p.add_argument("--files", type=int, default=10)
    p.add_argument("--runs", type=int, default=3)
    options = p.parse_args()
    for tool in ("xz", "sha256sum"):
        if not shutil.which(tool):
            sys.exit("extract_bench: needs %s" % tool)
    package = build(options, options.work)
    raw = os.path.join(options.work, "raw")
    out = os.path.join(options.work, "out-ours")
    out_peer = os.path.join(options.work, "out-peer")
    best_ours = best_peer = float("inf")
    for _ in range(options.runs):
        best_ours = min(best_ours, ours(options, package, out))
        best_peer = min(best_peer, peer(raw, out_peer))
    # Both sides produced the same files.
    for name in os.listdir(out_peer):
        alias = name.replace("_", "/", 1)
        with open(os.path.join(out, alias), "rb") as a, open(os.path.join(out_peer, name), "rb") as b:
            if hashlib.sha256(a.read()).digest() != hashlib.sha256(b.read()).digest():
                sys.exit("extract_bench: %s differs between sfxtool and xz" % alias)
    size = os.path.getsize(package) / 2**20
    print("package         %.1f MiB (%d LZMA files, %d MiB unpacked)" % (size, options.files, options.total))
    print("sfxtool extract %.3f s (best of %d)" % (best_ours, options.runs))
    print("xz + sha256sum  %.3f s (best of %d)" % (best_peer, options.runs))
    print("ratio           %.3f (goal <= 1.2)" % (best_ours / best_peer))
    shutil.rmtree(out, ignore_errors=True)
    shutil.rmtree(out_peer, ignore_errors=True)


if __name__ == "__main__":
    main()
