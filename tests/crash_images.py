#!/usr/bin/env python3
"""Helper of tests/crash_images.sh: lays out a kelvo folder, takes crash
images at given moments, checks the files of a mounted image, and sums up.

  setup DIR MANIFEST --ref REFDIR --far FARPOOL --interval S --mode endless|oneshot [--destinations N]
  snapshot DIR MANIFEST                  note the destinations' contents now
  moments --count N --start A --end B    spread random moments, one a slot
  capture --image FILE --prefix P --base T --moments M1,M2,...
  check MANIFEST ROOT --label L --results FILE
  unusable MANIFEST --label L --why TEXT --results FILE
  summary [--minimum FS=N ...] [--unfinished N] RESULTS...
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys
import time

# Pool files shared by the destinations of a folder: a few KiB each, one large.
POOL_SIZES = [1024, 3 * 1024, 5 * 1024, 8 * 1024, 12 * 1024, 256 * 1024]


def say(line):
    """One write per line: the file systems' jobs share the console."""
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def digest(data):
    return hashlib.sha256(data).hexdigest()


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def setup(args):
    """Writes two pools, the destinations' first contents, a control file and
    kelvo.txt under DIR; the manifest says what each name may hold. The
    first half of the destinations draws from the pool beside them, which a
    file system with shared extents copies without writing data; the second
    half from the pool on another file system (FAR), whose copies are real."""
    folder = args.dir
    # Every content a name may hold, kept aside to describe a bad file.
    known = {}

    def keep(data, label):
        sha = digest(data)
        ref = os.path.join(args.ref, sha)
        write_file(ref, data)
        known[sha] = {"label": label, "ref": ref, "size": len(data)}
        return sha

    pools = []
    for where in (os.path.join(folder, "pool"), args.far):
        pool = []
        for k, size in enumerate(POOL_SIZES):
            data = os.urandom(size)
            path = os.path.join(where, "p%d.bin" % k)
            write_file(path, data)
            pool.append((keep(data, path), path))
        pools.append(pool)
    lines = ["// Written by tests/crash_images.py", "SetInterval,%d" % args.interval]
    destinations = []
    for i in range(args.destinations):
        # Originals differ in size; every fifth is large, like the large pool file.
        size = 200 * 1024 if i % 5 == 0 else 1024 * (2 + i % 4)
        original = os.urandom(size)
        sub = "d%02d" % i
        keep(original, "the original of %s" % sub)
        write_file(os.path.join(folder, sub, "file.dat"), original)
        # Three or four candidates each; the large pool file for every third.
        pool = pools[0] if i < args.destinations // 2 else pools[1]
        picks = sorted({i % 5, (i + 1) % 5, (i + 3) % 5} | ({5} if i % 3 == 0 else set()))
        for k in picks:
            lines.append("AddFile,%s/file.dat,%s" % (sub, pool[k][1]))
        destinations.append({
            "folder": sub,
            "destination": sub + "/file.dat",
            "companion": sub + "/file.tmp",
            "orig": sub + "/file.dat.orig",
            "original": digest(original),
            "pool": [pool[k][0] for k in picks],
            # What the destination holds when the watched run starts.
            "before": digest(original),
        })
    write_file(os.path.join(folder, "kelvo.txt"), ("\n".join(lines) + "\n").encode())
    control = os.urandom(8 * 1024)
    write_file(os.path.join(folder, "control.bin"), control)
    manifest = {
        "mode": args.mode,
        "control": {"name": "control.bin", "digest": digest(control)},
        "destinations": destinations,
        "known": known,
    }
    with open(args.manifest, "w") as f:
        json.dump(manifest, f)


def snapshot(args):
    """Notes what each destination holds now, before the watched run, so that
    a check can tell whether an image shows the run's replacements."""
    with open(args.manifest) as f:
        manifest = json.load(f)
    for d in manifest["destinations"]:
        with open(os.path.join(args.dir, d["destination"]), "rb") as f:
            d["before"] = digest(f.read())
    with open(args.manifest, "w") as f:
        json.dump(manifest, f)


def moments(args):
    """One random moment in each of COUNT equal slots of [START, END]."""
    width = (args.end - args.start) / args.count
    picks = [args.start + width * (k + random.random()) for k in range(args.count)]
    print(",".join("%.2f" % m for m in picks))


def capture(args):
    """Reflink copies of the image file at base + each moment (seconds)."""
    for k, moment in enumerate(float(m) for m in args.moments.split(",")):
        delay = args.base + moment - time.time()
        if delay > 0:
            time.sleep(delay)
        target = "%s-%02d.img" % (args.prefix, k)
        taken = time.time() - args.base
        subprocess.run(["cp", "--reflink=always", args.image, target], check=True)
        say("%s %.2f" % (target, taken))


def describe(data, known):
    """What a bad file holds: zeros, or the start of which known content."""
    if not data.strip(b"\0"):
        return "%d zero bytes" % len(data)
    best, label = 0, None
    for entry in known.values():
        with open(entry["ref"], "rb") as f:
            ref = f.read()
        same = next((k for k, (a, b) in enumerate(zip(data, ref)) if a != b), min(len(data), len(ref)))
        if same > best:
            best, label = same, "%s (%d bytes)" % (entry["label"], entry["size"])
    if label is None:
        return "%d bytes of nothing known" % len(data)
    return "%d bytes, the first %d as in %s" % (len(data), best, label)


def classify(path, allowed, others):
    """'whole', 'zero-length', 'partial' or 'wrong content' (a whole file that
    may not stand under this name)."""
    with open(path, "rb") as f:
        data = f.read()
    sha = digest(data)
    if sha in allowed:
        return "whole"
    if not data:
        return "zero-length"
    if sha in others:
        return "wrong content"
    return "partial"


def check(args):
    """Checks every destination, companion, .orig and helper .old file of a
    mounted image against the manifest; appends one result line."""
    with open(args.manifest) as f:
        manifest = json.load(f)
    root = args.root
    oneshot = manifest["mode"] == "oneshot"
    known = manifest["known"]
    counts = {"checks": 0, "destinations": 0, "whole": 0, "zero-length": 0, "partial": 0,
              "missing": 0, "wrong content": 0, "shown": 0}
    problems = {}

    def judge(name, allowed, others):
        counts["checks"] += 1
        path = os.path.join(root, name)
        verdict = classify(path, allowed, others)
        counts[verdict] += 1
        if verdict == "partial":
            with open(path, "rb") as f:
                name += " (%s)" % describe(f.read(), known)
        if verdict != "whole":
            problems.setdefault(verdict, []).append(name)

    def missing(name):
        counts["checks"] += 1
        counts["missing"] += 1
        problems.setdefault("missing", []).append(name)

    control = manifest["control"]
    control_path = os.path.join(root, control["name"])
    control_ok = os.path.isfile(control_path) and classify(
        control_path, {control["digest"]}, set()) == "whole"

    for d in manifest["destinations"]:
        original = {d["original"]}
        contents = original | set(d["pool"])
        folder = os.path.join(root, d["folder"])
        dest = os.path.join(root, d["destination"])
        try:
            helpers = [n for n in os.listdir(folder)
                       if n.startswith(".kelvo-") and n.endswith(".old")]
        except FileNotFoundError:
            helpers = []
        counts["destinations"] += 1
        replaced = True
        if os.path.isfile(dest):
            judge(d["destination"], contents, set())
            with open(dest, "rb") as f:
                held = digest(f.read())
            replaced = held != d["original"]
            # The image shows the watched run's work on this destination.
            counts["shown"] += held != d["before"]
        else:
            missing(d["destination"])
            counts["shown"] += 1
        companion_exists = os.path.isfile(os.path.join(root, d["companion"]))
        # A companion is there from the first replacement on, except between
        # the exchange and the rename, when the old content is under a .old.
        if companion_exists:
            judge(d["companion"], contents, set())
        elif oneshot or (replaced and not helpers):
            missing(d["companion"])
        # The .orig is made before the first replacement and never changes.
        if os.path.isfile(os.path.join(root, d["orig"])):
            judge(d["orig"], original, set(d["pool"]))
        elif oneshot or replaced or companion_exists:
            missing(d["orig"])
        for name in helpers:
            judge(os.path.join(d["folder"], name), contents, set())

    result = {"label": args.label, "images": 1, "control": control_ok, "problems": problems}
    result.update(counts)
    with open(args.results, "a") as f:
        f.write(json.dumps(result) + "\n")
    bad = counts["checks"] - counts["whole"]
    lines = ["  %s: %d of %d destinations hold new content; %d checks, %s%s" % (
        args.label, counts["shown"], counts["destinations"], counts["checks"],
        "%d bad" % bad if bad else "all whole",
        "" if control_ok else ", SYNCED CONTROL FILE LOST")]
    for verdict, names in problems.items():
        shown = names if len(names) <= 6 else names[:6] + ["..."]
        lines.append("    %d %s: %s" % (len(names), verdict, " ".join(shown)))
    say("\n".join(lines))


def unusable(args):
    """An image that a reboot could not bring back: all its destinations fail."""
    with open(args.manifest) as f:
        manifest = json.load(f)
    n = len(manifest["destinations"])
    result = {"label": args.label, "images": 1, "control": True, "unusable": args.why,
              "checks": n, "destinations": n, "whole": 0, "zero-length": 0, "partial": 0,
              "missing": n, "wrong content": 0, "shown": 0, "problems": {"unusable": [args.why]}}
    with open(args.results, "a") as f:
        f.write(json.dumps(result) + "\n")
    say("  %s: UNUSABLE (%s)" % (args.label, args.why))


def summary(args):
    """One line per file system and scenario, the closing line, and the exit
    status: 0 only when every check was whole and the minimums were met.
    Failed counts the bad checks, the images that lost the synced control
    file, and each shortfall: a file system below its minimum, a scenario
    whose images all hold its starting state, a job that could not finish."""
    minimum = dict(m.split("=") for m in args.minimum)
    keys = ["images", "checks", "destinations", "whole", "zero-length", "partial", "missing",
            "wrong content"]
    blind = []
    passed = failed = 0
    per_fs = {}
    for path in args.results:
        name = os.path.basename(path)[:-len(".jsonl")]
        fs, scenario = name.split("-", 1)
        total = dict.fromkeys(keys, 0)
        controls_lost = 0
        showing = 0
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    r = json.loads(line)
                    for k in keys:
                        total[k] += r[k]
                    controls_lost += 0 if r["control"] else 1
                    showing += r["shown"] > 0
        if total["images"] and not showing:
            blind.append("%s %s" % (fs, scenario))
        bad = total["checks"] - total["whole"]
        passed += total["whole"]
        failed += bad + controls_lost
        per_fs[fs] = per_fs.get(fs, 0) + total["destinations"]
        print("%s %s: %d images (%d showing replacements), %d checks (%d destinations), "
              "%d zero-length, %d partial, %d missing, %d wrong content%s" % (
                  fs, scenario, total["images"], showing, total["checks"],
                  total["destinations"], total["zero-length"], total["partial"],
                  total["missing"], total["wrong content"],
                  ", %d images lost the synced control file" % controls_lost
                  if controls_lost else ""))
    for fs, need in minimum.items():
        got = per_fs.get(fs, 0)
        if got < int(need):
            print("%s: only %d destination checks, %s needed" % (fs, got, need))
            failed += 1
    for name in blind:
        # Every image held the starting state: nothing of the run was tested.
        print("%s: no image shows a replacement on the device" % name)
        failed += 1
    failed += args.unfinished
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("setup")
    p.add_argument("dir")
    p.add_argument("manifest")
    p.add_argument("--ref", required=True)
    p.add_argument("--far", required=True)
    p.add_argument("--interval", type=int, required=True)
    p.add_argument("--destinations", type=int, default=20)
    p.add_argument("--mode", choices=["endless", "oneshot"], required=True)
    p = sub.add_parser("snapshot")
    p.add_argument("dir")
    p.add_argument("manifest")
    p = sub.add_parser("moments")
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--start", type=float, required=True)
    p.add_argument("--end", type=float, required=True)
    p = sub.add_parser("capture")
    p.add_argument("--image", required=True)
    p.add_argument("--prefix", required=True)
    p.add_argument("--base", type=float, required=True)
    p.add_argument("--moments", required=True)
    p = sub.add_parser("check")
    p.add_argument("manifest")
    p.add_argument("root")
    p.add_argument("--label", required=True)
    p.add_argument("--results", required=True)
    p = sub.add_parser("unusable")
    p.add_argument("manifest")
    p.add_argument("--label", required=True)
    p.add_argument("--why", required=True)
    p.add_argument("--results", required=True)
    p = sub.add_parser("summary")
    p.add_argument("--minimum", action="append", default=[])
    p.add_argument("--unfinished", type=int, default=0)
    p.add_argument("results", nargs="+")
    args = parser.parse_args()
    return {"setup": setup, "snapshot": snapshot, "moments": moments, "capture": capture, "check": check,
            "unusable": unusable, "summary": summary}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
