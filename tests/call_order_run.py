#!/usr/bin/env python3
"""Runs kelvo under strace over 40 destinations, a one-shot pass and an
endless run of more than one pass, and checks both logs with
call_order_check.py: no name may point at unflushed data, and no replacement
may be reported done before its folder is flushed.

usage: call_order_run.py KELVO [--keep]
Exit status: 0 when both runs keep the rules, 1 when not, 77 (skipped) when
strace is missing or cannot trace here; a missing strace is a failure (1)
with KELVO_REQUIRE_TOOLS=1, where every test tool is meant to be installed.
"""

import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import call_order_check  # noqa: E402

DESTINATIONS = 40
INTERVAL = 4  # seconds a later pass takes: a tenth of a second per replacement
DONE = re.compile(r"Replacing .* -> Done\.$")


def skip(reason):
    print("call_order: SKIPPED: " + reason)
    sys.exit(77)


def skip_for_missing_tool(reason):
    """A skip, or a failure where every test tool is required."""
    if os.environ.get("KELVO_REQUIRE_TOOLS") == "1":
        print("call_order: FAILED: " + reason + " (KELVO_REQUIRE_TOOLS=1)")
        sys.exit(1)
    skip(reason)


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(content)


def make_folder(root, kelvo):
    """kelvo, a pool of four sources and a script over 40 destinations in two
    folders: some with a companion and an .orig, some with a companion, some
    alone, some not there yet."""
    shutil.copy2(kelvo, os.path.join(root, "kelvo"))
    sizes = [10, 4096, 256 << 10, (1 << 20) + 3]
    for n, size in enumerate(sizes):
        write(os.path.join(root, "pool", "s%d" % n), bytes((n * 7 + i) % 251 for i in range(size)))
    script = ["// Destinations for the system-call order check.", "SetInterval,%d" % INTERVAL]
    for i in range(DESTINATIONS):
        folder = "other" if i % 5 == 4 else "dst"
        name = "%s/d%02d.dat" % (folder, i)
        kind = i % 4
        if kind != 3:
            write(os.path.join(root, name), b"old content of %d\n" % i)
        if kind in (0, 1):
            write(os.path.join(root, folder, "d%02d.tmp" % i), b"previous companion\n")
        if kind == 0:
            write(os.path.join(root, name + ".orig"), b"first content\n")
        script.append("AddFile,%s,pool/s%d" % (name, i % len(sizes)))
        script.append("AddFile,%s,pool/s%d" % (name, (i + 1) % len(sizes)))
    write(os.path.join(root, "kelvo.txt"), ("\n".join(script) + "\n").encode())


def environment():
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=0"  # a leak check cannot run under strace
    return env


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def run_one_shot(root, log):
    command = call_order_check.strace_arguments(log) + [os.path.join(root, "kelvo"), "-oneshot"]
    done = subprocess.run(command, cwd=root, env=environment(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=240)
    lines = done.stdout.decode(errors="replace").splitlines()
    replaced = sum(1 for line in lines if DONE.search(line))
    if done.returncode != 0 or replaced != DESTINATIONS:
        print("call_order: the one-shot run ended with %d after %d of %d replacements:\n%s"
              % (done.returncode, replaced, DESTINATIONS, done.stderr.decode(errors="replace")))
        return False
    print("call_order: one-shot run: %d replacements done" % replaced)
    return True


def run_endless(root, log):
    """Runs until a later pass has replaced every destination, then stops
    kelvo with SIGTERM."""
    command = call_order_check.strace_arguments(log) + [os.path.join(root, "kelvo")]
    tracer = subprocess.Popen(command, cwd=root, env=environment(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    wanted = 2 * DESTINATIONS
    replaced, later_pass, text = 0, False, b""
    deadline = time.monotonic() + 180
    watch = selectors.DefaultSelector()
    watch.register(tracer.stdout, selectors.EVENT_READ)
    while replaced < wanted and time.monotonic() < deadline:
        if not watch.select(timeout=1):
            continue
        chunk = os.read(tracer.stdout.fileno(), 65536)
        if not chunk:
            break
        text += chunk
        lines = text.decode(errors="replace").split("\n")[:-1]
        replaced = sum(1 for line in lines if DONE.search(line))
        later_pass = any(line.startswith("Waiting Interval") for line in lines)
    for pid in children_of(tracer.pid):
        os.kill(pid, signal.SIGTERM)
    try:
        rest, errors = tracer.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        tracer.kill()
        rest, errors = tracer.communicate()
    if replaced < wanted or not later_pass or tracer.returncode != 0:
        print("call_order: the endless run made %d of %d replacements (a later pass: %s) and "
              "ended with %d:\n%s" % (replaced, wanted, "yes" if later_pass else "no",
                                     tracer.returncode, errors.decode(errors="replace")))
        return False
    print("call_order: endless run: %d replacements done over more than one pass, then stopped"
          % replaced)
    return True


def check(log, what):
    print("call_order: checking the %s run (%s)" % (what, log))
    sys.stdout.flush()
    status = subprocess.call([sys.executable, os.path.join(HERE, "call_order_check.py"), log,
                              "--limit", "10"])
    return status == 0


def main(argv):
    arguments = [a for a in argv[1:] if a != "--keep"]
    if len(arguments) != 1:
        print(__doc__)
        return 2
    kelvo = os.path.abspath(arguments[0])
    if shutil.which("strace") is None:
        skip_for_missing_tool("strace is missing (tools/install-deps.sh installs it)")
    if subprocess.call(["strace", "-o", "/dev/null", "true"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL) != 0:
        skip("strace cannot trace processes here")
    scratch = tempfile.mkdtemp(prefix="kelvo-call-order-")
    ok = True
    try:
        for what, run in (("one-shot", run_one_shot), ("endless", run_endless)):
            root = os.path.join(scratch, what)
            os.makedirs(root)
            make_folder(root, kelvo)
            log = os.path.join(scratch, what + ".strace")
            ran = run(root, log)
            # A log is checked even after a failed run: it shows what was done.
            checked = os.path.exists(log) and check(log, what)
            ok = ok and ran and checked
    finally:
        if "--keep" in argv:
            print("call_order: logs and folders kept in " + scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    print("call_order: " + ("both runs keep the order" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
