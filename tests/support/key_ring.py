"""Key rings as the tests read them, independently of the build's generator:
the values of a ring file and its fingerprint (the first 8 bytes of the
SHA-256 of p, q, g, y of the keys A to H at 256, 32, 256 and 256 bytes, as
lower-case hex)."""
import hashlib
import os

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEV_RING = os.path.join(SOURCE_DIR, "keys", "dev-ring.txt")


def read(path):
    """{'domains': {n: {'p','q','g'}}, 'keys': {name: (domain, y)}}, values as integers."""
    domains, keys = {}, {}
    current = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            name, value = words
            if name == "key":
                current = ("key", value)
                keys[value] = [None, None]
            elif name == "domain" and current and current[0] == "key":
                keys[current[1]][0] = int(value)
            elif name == "domain":
                current = ("domain", int(value))
                domains[int(value)] = {}
            elif current[0] == "domain":
                domains[current[1]][name] = int(value, 16)
            else:
                keys[current[1]][1] = int(value, 16)
    return {"domains": domains, "keys": {k: tuple(v) for k, v in keys.items()}}


def key_bytes(ring, name):
    domain, y = ring["keys"][name]
    d = ring["domains"][domain]
    return (d["p"].to_bytes(256, "big") + d["q"].to_bytes(32, "big") + d["g"].to_bytes(256, "big")
            + y.to_bytes(256, "big"))


def fingerprint(path):
    ring = read(path)
    return hashlib.sha256(b"".join(key_bytes(ring, name) for name in "ABCDEFGH")).hexdigest()[:16]


def development_keys(path):
    """Names of the ring's keys that are keys of the development ring."""
    ring, dev = read(path), read(DEV_RING)
    dev_keys = {key_bytes(dev, name) for name in "ABCDEFGH"}
    return "".join(name for name in "ABCDEFGH" if key_bytes(ring, name) in dev_keys)


def write(path, ring):
    with open(path, "w", encoding="utf-8") as f:
        for n in sorted(ring["domains"]):
            d = ring["domains"][n]
            f.write("domain %d\np %x\nq %x\ng %x\n\n" % (n, d["p"], d["q"], d["g"]))
        for name in "ABCDEFGH":
            domain, y = ring["keys"][name]
            f.write("key %s\ndomain %d\ny %x\n\n" % (name, domain, y))


def build_ring(build_dir):
    """The ring a configured build uses (its CMakeCache.txt)."""
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("KRO_KEY_RING:"):
                return line.split("=", 1)[1].strip()
    return DEV_RING
