#!/usr/bin/env python3
"""Generates the program's DSA key table (a C++ source) from a key ring file.

Usage: gen_key_table.py RING OUTPUT.cpp [--development-ring DEV] [--refuse-development]
       gen_key_table.py --inspect RING [--development-ring DEV]

The second form checks the ring and prints two lines for the build's
configuration: "fingerprint <hex>" and "development-keys <names>" (the keys
of RING that are keys of the development ring, "-" for none).

Key ring format (text, one value per line; empty lines and lines starting
with '#' are ignored):

    domain <n>          starts domain-parameter set n (1, 2, 3, ...)
    p <hex>             its prime modulus p, 2048 bits
    q <hex>             its prime divisor q of p - 1, 256 bits
    g <hex>             its generator g of the order-q subgroup
    key <A..H>          starts a public key
    domain <n>          the domain-parameter set the key lives on
    y <hex>             its public value y = g^x mod p

All eight keys A..H must be present. Values are big-endian hex and are
written into the table as p, g, y of 256 bytes and q of 32 bytes (left-padded
with zeros). The script checks the arithmetic of every value (p and q prime,
q divides p - 1, g and y of order q) so that a broken ring fails the build
instead of producing a program that accepts nothing.

The key table, as the program holds it, is for each key A..H in order its p
(256 bytes), q (32), g (256) and y (256). The ring's fingerprint is the first
8 bytes of the SHA-256 of those 6,400 bytes, as 16 lower-case hex digits; the
program logs it at start and sfxtool prints it (sfxtool keys).

The development ring (DEV, default keys/dev-ring.txt beside this script's
folder) has its private halves in the repository. A key of RING that is a key
of DEV (the same p, q, g and y) is a development key; the generated source
marks the ring as development when it holds one, and carries the SHA-256 of
each development key's p || q || g || y so that sfxtool can tell when it signs
with one. --refuse-development fails instead (release builds).
"""

import hashlib
import os
import random
import sys

KEY_NAMES = "ABCDEFGH"
SIZES = {"p": 256, "q": 32, "g": 256, "y": 256}


def fail(ring, line_no, text):
    where = f"{ring}:{line_no}: " if line_no else f"{ring}: "
    sys.exit(f"gen_key_table: {where}{text}")


def probably_prime(n, rounds=16):
    if n < 2:
        return False
    for small in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        if n % small == 0:
            return n == small
    d, s = n - 1, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    rng = random.Random(n)  # deterministic: the same ring always gives the same answer
    for _ in range(rounds):
        a = rng.randrange(2, n - 1)
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = pow(x, 2, n)
            if x == n - 1:
                break
        else:
            return False
    return True


def parse(ring):
    domains, keys = {}, {}
    current = None  # ("domain", n) or ("key", name)
    with open(ring, encoding="utf-8") as f:
        for line_no, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split()
            if len(parts) != 2:
                fail(ring, line_no, "expected '<name> <value>'")
            name, value = parts
            if name == "key":
                if value not in KEY_NAMES or value in keys:
                    fail(ring, line_no, f"unknown or repeated key name '{value}'")
                keys[value] = {"line": line_no}
                current = ("key", value)
            elif name == "domain" and (current is None or current[0] == "domain" or "domain" in keys[current[1]]):
                if not value.isdigit() or int(value) in domains:
                    fail(ring, line_no, f"bad or repeated domain number '{value}'")
                domains[int(value)] = {"line": line_no}
                current = ("domain", int(value))
            elif name == "domain":
                keys[current[1]]["domain"] = int(value) if value.isdigit() else -1
            elif name in ("p", "q", "g") and current and current[0] == "domain":
                domains[current[1]][name] = (parse_hex(ring, line_no, value), line_no)
            elif name == "y" and current and current[0] == "key":
                keys[current[1]]["y"] = (parse_hex(ring, line_no, value), line_no)
            else:
                fail(ring, line_no, f"unexpected '{name}' here")
    return domains, keys


def parse_hex(ring, line_no, value):
    try:
        return int(value, 16)
    except ValueError:
        fail(ring, line_no, "malformed hex value")


def check(ring, domains, keys):
    for n, d in domains.items():
        for name in ("p", "q", "g"):
            if name not in d:
                fail(ring, d["line"], f"domain {n} lacks {name}")
        p, q, g = d["p"][0], d["q"][0], d["g"][0]
        if p.bit_length() != 2048 or q.bit_length() != 256:
            fail(ring, d["line"], f"domain {n} is not DSA (2048, 256)")
        if not probably_prime(p) or not probably_prime(q) or (p - 1) % q != 0:
            fail(ring, d["line"], f"domain {n}: p and q must be primes with q dividing p - 1")
        if not 1 < g < p or pow(g, q, p) != 1:
            fail(ring, d["g"][1], f"domain {n}: g is not of order q")
    for name in KEY_NAMES:
        if name not in keys:
            fail(ring, 0, f"key {name} missing")
        k = keys[name]
        if k.get("domain") not in domains:
            fail(ring, k["line"], f"key {name} names no known domain")
        if "y" not in k:
            fail(ring, k["line"], f"key {name} lacks y")
        d = domains[k["domain"]]
        p, q = d["p"][0], d["q"][0]
        y = k["y"][0]
        if not 1 < y < p or pow(y, q, p) != 1:
            fail(ring, k["y"][1], f"key {name}: y is not of order q")


def key_bytes(domains, keys, name):
    """p || q || g || y of a key, at the table's sizes."""
    d = domains[keys[name]["domain"]]
    return b"".join(v.to_bytes(SIZES[n], "big") for n, v in
                    (("p", d["p"][0]), ("q", d["q"][0]), ("g", d["g"][0]), ("y", keys[name]["y"][0])))


def fingerprint(domains, keys):
    table = b"".join(key_bytes(domains, keys, name) for name in KEY_NAMES)
    return hashlib.sha256(table).hexdigest()[:16]


def key_digests(domains, keys):
    return {name: hashlib.sha256(key_bytes(domains, keys, name)).digest() for name in KEY_NAMES}


def load(ring):
    domains, keys = parse(ring)
    check(ring, domains, keys)
    return domains, keys


def c_bytes(value, size):
    data = value.to_bytes(size, "big")
    rows = []
    for i in range(0, size, 16):
        rows.append("    " + ", ".join(f"0x{b:02x}" for b in data[i:i + 16]) + ",")
    return "{\n" + "\n".join(rows) + "\n}"


def generate(ring, domains, keys, development, dev_digests):
    out = [
        f"// Generated by scripts/gen_key_table.py from {os.path.basename(ring)}; do not edit.",
        "#include \"root/dsa.h\"",
        "",
        "namespace kro::root::dsa::detail {",
        "namespace {",
        "",
    ]
    for n in sorted(domains):
        for name in ("p", "q", "g"):
            out.append(f"const uint8_t domain{n}_{name}[{SIZES[name]}] = {c_bytes(domains[n][name][0], SIZES[name])};")
        out.append("")
    for name in KEY_NAMES:
        out.append(f"const uint8_t key_{name}_y[256] = {c_bytes(keys[name]['y'][0], 256)};")
    out += ["", "}  // namespace", "", "const named_key ring_keys[8] = {"]
    for name in KEY_NAMES:
        n = keys[name]["domain"]
        out.append(f"    {{'{name}', {{{{domain{n}_p, domain{n}_q, domain{n}_g}}, key_{name}_y}}}},")
    out += ["};", "", f"const char* const ring_name = \"{os.path.basename(ring)}\";",
            f"const char* const ring_fingerprint = \"{fingerprint(domains, keys)}\";",
            f"const bool ring_development = {'true' if development else 'false'};", "",
            "const named_digest development_keys[8] = {"]
    for name in KEY_NAMES:
        digest = ", ".join(f"0x{b:02x}" for b in dev_digests[name])
        out.append(f"    {{'{name}', {{{digest}}}}},")
    out += ["};", "", "}  // namespace kro::root::dsa::detail", ""]
    return "\n".join(out)


def main():
    args = sys.argv[1:]
    dev_ring = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys", "dev-ring.txt")
    refuse = "--refuse-development" in args
    args = [a for a in args if a != "--refuse-development"]
    if "--development-ring" in args:
        i = args.index("--development-ring")
        if i + 1 >= len(args):
            sys.exit(__doc__)
        dev_ring = args[i + 1]
        del args[i:i + 2]
    inspect = args[:1] == ["--inspect"]
    if inspect:
        args = args[1:]
    if len(args) != (1 if inspect else 2):
        sys.exit(__doc__)
    ring = args[0]
    domains, keys = load(ring)
    dev_digests = key_digests(*parse(dev_ring))  # the repository's own ring: parsed, not checked again
    digests = key_digests(domains, keys)
    development = [name for name in KEY_NAMES if digests[name] in dev_digests.values()]
    if inspect:
        print(f"fingerprint {fingerprint(domains, keys)}")
        print(f"development-keys {''.join(development) or '-'}")
        return
    if refuse and development:
        fail(ring, 0, f"keys {', '.join(development)} are keys of the development ring, whose private halves "
                      "are public; a release build refuses them")
    text = generate(ring, domains, keys, bool(development), dev_digests)
    output = args[1]
    tmp = output + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, output)


if __name__ == "__main__":
    main()
