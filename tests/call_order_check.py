#!/usr/bin/env python3
"""Checks the order of a kelvo run's system calls for durability, from an
strace log of the run.

Model: every file object (an inode, followed through the trace: made by an
O_TMPFILE or O_CREAT open, linked, renamed, unlinked; a file that exists
before the trace and is not written during it counts as on disk) turns dirty
when written (write, pwrite64, writev, pwritev, copy_file_range or sendfile
or splice into it, ftruncate, fallocate, truncate, an O_TRUNC open), and
clean when an fsync or fdatasync of a descriptor on it, a syncfs of its file
system or a sync starts after the write ended and ends itself.

Rule 1: a link, linkat, rename, renameat or renameat2 (both names of an
exchange) never makes a name point at a dirty file object.

Rule 2: before each write to standard output (fd 1) that holds " -> Done.",
every folder in which a link or rename call changed a name must have been
flushed (fsync or fdatasync of a descriptor on the folder, a syncfs of its
file system, or a sync) after its last such change. Unlinks do not count.

Only calls that succeeded count. A call that strace shows in two parts
(<unfinished ...> / <... resumed>) starts at its first line and ends at its
second.

Make the log with (see --strace-command):
  strace -f -y -qq -s 16384 -e signal=none -e trace=<CALLS> -o LOG ./kelvo ...

Exit status: 0 when every checked call keeps the rules, 1 on any violation,
2 when the log cannot be read or was not made as above.
"""

import argparse
import bisect
import posixpath
import re
import sys

# The calls the model follows; '?' lets an strace that does not know a newer
# call go on without it.
TRACED_CALLS = [
    "execve", "clone", "?clone3", "fork", "vfork", "chdir", "fchdir",
    "open", "openat", "?openat2", "creat", "close", "?close_range",
    "dup", "dup2", "dup3", "fcntl",
    "write", "writev", "pwrite64", "pwritev", "?pwritev2",
    "?copy_file_range", "sendfile", "splice", "ftruncate", "truncate", "fallocate",
    "fsync", "fdatasync", "syncfs", "sync",
    "link", "linkat", "rename", "renameat", "?renameat2",
    "unlink", "unlinkat", "rmdir",
]


def strace_arguments(log_path):
    """strace's options for a log this checker reads, before the command."""
    return ["strace", "-f", "-y", "-qq", "-s", "16384", "-e", "signal=none",
            "-e", "trace=" + ",".join(TRACED_CALLS), "-o", log_path]


# --- Reading strace's text ---------------------------------------------------

_SIMPLE_ESCAPES = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "a": 7, "b": 8,
                   "e": 27, "\\": 92, '"': 34, "'": 39, "?": 63}


def unescape(text):
    """The bytes strace wrote as text with C escapes, as a file system str."""
    out = bytearray()
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c != "\\" or i + 1 >= n:
            out += c.encode("utf-8", "surrogateescape")
            i += 1
            continue
        d = text[i + 1]
        if d in "01234567":
            j = i + 1
            while j < n and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(int(text[i + 1:j], 8) & 0xFF)
            i = j
        elif d == "x" and i + 2 < n and text[i + 2] in "0123456789abcdefABCDEF":
            j = i + 2
            while j < n and j < i + 4 and text[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(text[i + 2:j], 16))
            i = j
        else:
            out.append(_SIMPLE_ESCAPES.get(d, ord(d) if ord(d) < 128 else 63))
            i += 2
    return out.decode("utf-8", "surrogateescape")


def show(name):
    """A name for a report: quoted, with bytes that are not printable escaped."""
    raw = name.encode("utf-8", "surrogateescape")
    text = ""
    for byte in raw:
        if byte in (34, 92):
            text += "\\" + chr(byte)
        elif 32 <= byte < 127:
            text += chr(byte)
        else:
            text += "\\x%02x" % byte
    return '"' + text + '"'


def _skip_string(text, i):
    """Index after the quoted string that starts at text[i]."""
    j, n = i + 1, len(text)
    while j < n:
        if text[j] == "\\":
            j += 2
        elif text[j] == '"':
            return j + 1
        else:
            j += 1
    return n


def _skip_angle(text, i):
    """Index after the <...> at text[i] (a descriptor's path, -yy nests them)."""
    depth, j, n = 0, i, len(text)
    while j < n:
        c = text[j]
        if c == "\\":
            j += 2
            continue
        if c == "<":
            depth += 1
        elif c == ">":
            depth -= 1
            if depth == 0:
                return j + 1
        j += 1
    return n


def split_arguments(text, start):
    """The top-level arguments of a call whose '(' ends before text[start],
    and the text after its ')'; None when the line ends first."""
    args = []
    depth, i, arg_start, n = 0, start, start, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            i = _skip_string(text, i)
            continue
        if c == "<":
            i = _skip_angle(text, i)
            continue
        if c == "/" and text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                if c != ")":
                    return None
                last = text[arg_start:i].strip()
                if last or args:
                    args.append(last)
                return args, text[i + 1:]
            depth -= 1
        elif c == "," and depth == 0:
            args.append(text[arg_start:i].strip())
            arg_start = i + 1
        i += 1
    return None


def strings_in(text):
    """Each quoted string in text: (its content, cut short by strace's -s)."""
    found = []
    i, n = 0, len(text)
    while i < n:
        if text[i] == '"':
            end = _skip_string(text, i)
            found.append((unescape(text[i + 1:end - 1]), text.startswith("...", end)))
            i = end
        elif text[i] == "<":
            i = _skip_angle(text, i)
        else:
            i += 1
    return found


class Descriptor:
    """A descriptor argument or result: its number and, with -y, its path."""

    def __init__(self, number, path, deleted):
        self.number = number  # an int, or "AT_FDCWD"
        self.path = path      # None without -y
        self.deleted = deleted


def parse_descriptor(text):
    text = text.strip()
    m = re.match(r"(AT_FDCWD|-?\d+)", text)
    if not m:
        return None
    number = m.group(1)
    number = "AT_FDCWD" if number in ("AT_FDCWD", "-100") else int(number)
    rest = text[m.end():]
    if not rest.startswith("<"):
        return Descriptor(number, None, False)
    end = _skip_angle(rest, 0)
    inner = rest[1:end - 1]
    # -yy may add details in a nested <...> after the path.
    nested = inner.find("<")
    while nested > 0 and inner[nested - 1] == "\\":
        nested = inner.find("<", nested + 1)
    if nested >= 0:
        inner = inner[:nested]
    return Descriptor(number, unescape(inner), rest[end:].lstrip().startswith("(deleted)"))


def parse_name(text):
    """A path argument: its content, or None when it is no complete string."""
    text = text.strip()
    if not text.startswith('"'):
        return None
    end = _skip_string(text, 0)
    if text.startswith("...", end):
        return None
    return unescape(text[1:end - 1])


_OPEN_BITS = {"O_WRONLY": 0o1, "O_RDWR": 0o2, "O_CREAT": 0o100, "O_EXCL": 0o200,
              "O_TRUNC": 0o1000, "O_DIRECTORY": 0o200000, "O_TMPFILE": 0o20000000}
_RENAME_BITS = {"RENAME_NOREPLACE": 1, "RENAME_EXCHANGE": 2, "RENAME_WHITEOUT": 4}
_AT_BITS = {"AT_SYMLINK_FOLLOW": 0x400, "AT_EMPTY_PATH": 0x1000, "AT_REMOVEDIR": 0x200}
_CLONE_BITS = {"CLONE_FILES": 0x400, "CLONE_THREAD": 0x10000}


def flags(text, table):
    """The names of table set in a flags argument, symbolic or numeric."""
    found = set()
    for part in re.split(r"[|\s]+", text.strip().strip("{}")):
        if not part:
            continue
        if part in table:
            found.add(part)
            continue
        try:
            value = int(part, 0)
        except ValueError:
            continue
        for name, bits in table.items():
            if value & bits == bits:
                found.add(name)
    return found


class Call:
    """One system call as the log shows it, joined from its two lines when
    strace shows it unfinished."""

    def __init__(self, tid, name, args, result, first_line, last_line):
        self.tid = tid
        self.name = name
        self.args = args
        self.result = result  # the text after "=", "" when there is none
        self.first_line = first_line
        self.last_line = last_line
        # Filled in when the model reads the call as it starts.
        self.objects = []   # the file objects its inputs name
        self.paths = []     # the full paths it names
        self.exchange = False
        self.problem = None  # why it cannot be checked

    def value(self):
        m = re.match(r"\s*(-?\d+|0x[0-9a-fA-F]+)", self.result)
        return int(m.group(1), 0) if m else None

    def succeeded(self):
        value = self.value()
        return value is not None and value >= 0

    def result_descriptor(self):
        return parse_descriptor(self.result)

    def where(self):
        if self.first_line == self.last_line:
            return str(self.first_line)
        return "%d-%d" % (self.first_line, self.last_line)


_PREFIX = re.compile(r"(?:\[pid\s+(\d+)\]\s+|(\d+)\s+)?"
                     r"(?:(?:\d+:\d+:\d+(?:\.\d+)?|\d+\.\d+)\s+)?(.*)$")
_UNFINISHED = " <unfinished ...>"


def parse_calls(lines):
    """The calls of an strace log; a call shown in two parts is joined."""
    pending = {}
    calls = []
    for number, raw in enumerate(lines, 1):
        m = _PREFIX.match(raw.rstrip("\n"))
        tid = int(m.group(1) or m.group(2) or 0)
        body = m.group(3)
        first_line = number
        resumed = re.match(r"<\.\.\. (\w+) resumed>", body)
        if resumed:
            started = pending.pop(tid, None)
            if started is None or started[0] != resumed.group(1):
                continue  # began before the log did
            body = started[1] + body[resumed.end():]
            first_line = started[2]
        elif body.endswith(_UNFINISHED):
            head = body[:-len(_UNFINISHED)]
            name = re.match(r"(\w+)\(", head)
            if name:
                pending[tid] = (name.group(1), head, number)
            continue
        m = re.match(r"(\w+)\(", body)
        if not m:
            continue  # a signal, an exit, or a call strace could not read
        split = split_arguments(body, m.end())
        if split is None:
            continue
        args, rest = split
        eq = re.match(r"\s*=\s*(.*)$", rest)
        calls.append(Call(tid, m.group(1), args, eq.group(1) if eq else "", first_line, number))
    return calls


def read_mounts(path):
    """Mount points from a file in the form of /proc/self/mounts."""
    points = []
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as mounts:
            for line in mounts:
                fields = line.split()
                if len(fields) >= 2:
                    points.append(unescape(fields[1]))
    except OSError:
        points = []
    if "/" not in points:
        points.append("/")
    return sorted(set(points), key=len, reverse=True)


# --- The model ---------------------------------------------------------------

class FileObject:
    """A file as the trace follows it, whatever its names."""

    def __init__(self, origin, file_system):
        self.origin = origin  # how the trace first met it, for reports
        self.file_system = file_system
        self.writes = Intervals()
        self.flushes = Intervals()


class Interval:
    """Where a call stands in the log: from its first line to its last."""

    def __init__(self, first, last, what):
        self.first, self.last, self.what = first, last, what


class Intervals:
    """Calls of one kind on one thing (writes to a file, flushes of a folder),
    sorted once for the questions the rules ask."""

    def __init__(self):
        self.items = []
        self.index = None

    def add(self, interval):
        self.items.append(interval)
        self.index = None

    def _sorted(self):
        if self.index is None:
            ordered = sorted(self.items, key=lambda item: item.first)
            latest, earliest = [], [None] * len(ordered)
            for item in ordered:  # the one that ended last among those started so far
                latest.append(item if not latest or item.last > latest[-1].last else latest[-1])
            for i in reversed(range(len(ordered))):  # the earliest end from here on
                later = earliest[i + 1] if i + 1 < len(ordered) else None
                earliest[i] = ordered[i] if later is None or ordered[i].last < later.last else later
            self.index = ([item.first for item in ordered], latest, earliest)
        return self.index

    def last_started_before(self, line):
        """Of those that started before line, the one that ended last, or None."""
        firsts, latest, _ = self._sorted()
        i = bisect.bisect_left(firsts, line)
        return latest[i - 1] if i > 0 else None

    def any_between(self, after, before):
        """True when one started after line after and ended before line before."""
        firsts, _, earliest = self._sorted()
        i = bisect.bisect_right(firsts, after)
        return i < len(firsts) and earliest[i].last < before


class Violation:
    """A call that breaks a rule: the name it concerns, and why."""

    def __init__(self, rule, call, name, why):
        self.rule, self.call, self.name, self.why = rule, call, name, why


_PROC_FD = re.compile(r"/proc/(self|thread-self|\d+)(?:/task/\d+)?/fd/(\d+)$")
_WRITES_AT = {"write": 0, "pwrite64": 0, "writev": 0, "pwritev": 0, "pwritev2": 0,
              "copy_file_range": 2, "sendfile": 0, "splice": 2,
              "ftruncate": 0, "fallocate": 0}
_NAME_CALLS = ("link", "linkat", "rename", "renameat", "renameat2")
_CONSOLE_WRITES = ("write", "writev", "pwrite64", "pwritev", "pwritev2")


# The key of flushes that reach every file system (sync).
_EVERY_FILE_SYSTEM = "(every file system)"


class Model:
    """The state of names, descriptors and files as the calls of a log change
    it; the rules are checked once every call is in."""

    def __init__(self, mount_points):
        self.mount_points = mount_points
        self.names = {}        # path -> FileObject
        self.gone = {}         # path -> FileObject that last had it
        self.anonymous = {}    # (folder, inode) of an O_TMPFILE -> FileObject
        self.tables = {}       # descriptor table id -> {fd: FileObject}
        self.table_of = {}     # thread -> descriptor table id
        self.clones = {}       # thread in a clone -> (flags, table id)
        self.cloned = {}       # new thread -> (flags, table id)
        self.cwd = {}          # thread -> folder
        self.aliases = {}      # folder as written -> as the kernel names it
        self.fs_flushes = {}   # file system -> Intervals, and _EVERY_FILE_SYSTEM
        self.folder_changes = []   # (Interval, folder)
        self.folder_flushes = {}   # folder -> Intervals
        self.name_checks = []      # (call, [(FileObject, name)])
        self.done_checks = []      # (call, problem or None)

    # Where things are.

    def file_system(self, path):
        if path is None or not path.startswith("/"):
            return None
        for point in self.mount_points:
            if path == point or path.startswith(point.rstrip("/") + "/"):
                return point
        return "/"

    def canonical(self, path):
        best = ""
        for written in self.aliases:
            if (path == written or path.startswith(written + "/")) and len(written) > len(best):
                best = written
        return self.aliases[best] + path[len(best):] if best else path

    def learn_alias(self, written, actual):
        """A path opened as written, and as the kernel names the result."""
        if written == actual or not written.startswith("/") or not actual.startswith("/"):
            return
        if posixpath.basename(written) != posixpath.basename(actual):
            return
        folder, real = posixpath.dirname(written), posixpath.dirname(actual)
        if folder != real:
            self.aliases[folder] = real

    def resolve(self, tid, base, name):
        """The full path of name, taken from the folder of descriptor base
        (None for the current folder)."""
        if base is not None and base.number == "AT_FDCWD" and base.path is not None:
            self.cwd[tid] = base.path
        if name.startswith("/"):
            path = name
        else:
            folder = base.path if base is not None and base.path is not None else None
            if base is None or base.path is None:
                folder = self.cwd.get(tid)
            path = folder + "/" + name if folder else name
        path = posixpath.normpath(path)
        if path.startswith("//"):
            path = "/" + path.lstrip("/")
        return self.canonical(path)

    # Descriptor tables, shared by threads.

    def table(self, tid):
        if tid not in self.table_of:
            origin = self.cloned.get(tid)
            if origin is None and len(self.clones) == 1:
                origin = next(iter(self.clones.values()))
            if origin is not None and origin[0] & {"CLONE_FILES", "CLONE_THREAD"}:
                self.table_of[tid] = origin[1]
            else:
                self.table_of[tid] = tid
                source = self.tables.get(origin[1], {}) if origin else {}
                self.tables[tid] = dict(source)
        return self.tables.setdefault(self.table_of[tid], {})

    # File objects.

    def new_object(self, origin, path):
        return FileObject(origin, self.file_system(path))

    def object_at(self, path, line):
        """The file object a name points at; one that was there before the
        trace when the trace has not met it."""
        found = self.names.get(path)
        if found is None:
            found = self.new_object("%s, there before line %d" % (show(path), line), path)
        return found

    def object_of(self, tid, descriptor, line):
        """The file object a descriptor is open on."""
        if descriptor is None:
            return None
        if descriptor.path is not None:
            path = descriptor.path
            if descriptor.deleted:
                anonymous = re.match(r"(.*)/#(\d+)$", path)
                if anonymous and (anonymous.group(1), anonymous.group(2)) in self.anonymous:
                    return self.anonymous[(anonymous.group(1), anonymous.group(2))]
                if path in self.gone:
                    return self.gone[path]
            elif path.startswith("/"):
                path = self.canonical(path)
                if path in self.names:
                    return self.names[path]
        known = self.table(tid).get(descriptor.number)
        if known is not None:
            return known
        if descriptor.path is None:
            return None
        made = self.new_object("%s, open before line %d" % (show(descriptor.path), line),
                               descriptor.path)
        if descriptor.path.startswith("/") and not descriptor.deleted:
            self.names[self.canonical(descriptor.path)] = made
        return made

    def object_of_path_argument(self, tid, path, line):
        """The file object a path names; /proc/<process>/fd/N names a descriptor."""
        proc = _PROC_FD.match(path)
        if proc:
            who = proc.group(1)
            owner = tid if who in ("self", "thread-self") else int(who)
            return self.table(owner).get(int(proc.group(2)))
        return self.object_at(path, line)

    def name(self, path, target):
        old = self.names.get(path)
        if old is not None and old is not target:
            self.gone[path] = old
        self.names[path] = target

    def unname(self, path):
        old = self.names.pop(path, None)
        if old is not None:
            self.gone[path] = old
        for other in [p for p in self.names if p.startswith(path + "/")]:
            self.gone[other] = self.names.pop(other)

    def move(self, source, target):
        moved = self.names.pop(source, None)
        inside = [(p, self.names.pop(p)) for p in list(self.names) if p.startswith(source + "/")]
        if moved is not None:
            self.name(target, moved)
        for path, held in inside:
            self.name(target + path[len(source):], held)

    # Events.

    def start(self, call):
        """What a call's inputs name, read as they stand when it starts."""
        tid, args, line = call.tid, call.args, call.first_line
        name = call.name
        if name in _WRITES_AT and len(args) > _WRITES_AT[name]:
            call.objects = [self.object_of(tid, parse_descriptor(args[_WRITES_AT[name]]), line)]
        elif name in ("fsync", "fdatasync", "syncfs") and args:
            descriptor = parse_descriptor(args[0])
            call.objects = [self.object_of(tid, descriptor, line)]
            call.paths = [descriptor.path if descriptor else None]
        elif name == "truncate" and args:
            path = parse_name(args[0])
            if path is not None:
                path = self.resolve(tid, None, path)
                call.objects = [self.object_at(path, line)]
                call.paths = [path]
        elif name in ("link", "rename", "linkat", "renameat", "renameat2"):
            at = name.endswith("at") or name == "renameat2"
            if at and len(args) >= 4:
                old_base, old = parse_descriptor(args[0]), parse_name(args[1])
                new_base, new = parse_descriptor(args[2]), parse_name(args[3])
                extra = args[4] if len(args) > 4 else "0"
            elif not at and len(args) >= 2:
                old_base, old, new_base, new = None, parse_name(args[0]), None, parse_name(args[1])
                extra = "0"
            else:
                call.problem = "cannot read its names"
                return
            if old is None or new is None:
                call.problem = "a name strace cut short"
                return
            new_path = self.resolve(tid, new_base, new)
            if name == "linkat" and old == "" and "AT_EMPTY_PATH" in flags(extra, _AT_BITS):
                old_path = None
                source = self.object_of(tid, old_base, line)
            else:
                old_path = self.resolve(tid, old_base, old)
                source = self.object_of_path_argument(tid, old_path, line)
            call.paths = [old_path, new_path]
            call.objects = [source]
            call.exchange = name == "renameat2" and "RENAME_EXCHANGE" in flags(extra, _RENAME_BITS)
            if call.exchange:
                call.objects.append(self.object_at(new_path, line))
        elif name in ("unlink", "rmdir") and args:
            path = parse_name(args[0])
            call.paths = [self.resolve(tid, None, path)] if path is not None else []
        elif name == "unlinkat" and len(args) >= 2:
            path = parse_name(args[1])
            if path is not None:
                call.paths = [self.resolve(tid, parse_descriptor(args[0]), path)]
        elif name in ("open", "creat", "openat", "openat2"):
            at = name in ("openat", "openat2")
            base = parse_descriptor(args[0]) if at and args else None
            path = parse_name(args[1] if at else args[0]) if len(args) > (1 if at else 0) else None
            call.paths = [self.resolve(tid, base, path)] if path is not None else []
        elif name in ("clone", "clone3", "fork", "vfork"):
            clone_flags = set()
            for arg in args:
                found = re.search(r"flags=([^,}]*)", arg)
                if found:
                    clone_flags |= flags(found.group(1), _CLONE_BITS)
            self.table(tid)
            self.clones[tid] = (clone_flags, self.table_of[tid])
        elif name in ("dup", "dup2", "dup3") or (name == "fcntl" and len(args) > 1
                                                 and args[1].startswith("F_DUPFD")):
            call.objects = [self.object_of(tid, parse_descriptor(args[0]), line)]

    def finish(self, call):
        """What a call that ended changes."""
        name, tid, args = call.name, call.tid, call.args
        if name in ("clone", "clone3", "fork", "vfork"):
            started = self.clones.pop(tid, None)
            child = call.value()
            if started is not None and child and child > 0:
                self.cloned[child] = started
                if child in self.table_of and self.table_of[child] == child \
                        and started[0] & {"CLONE_FILES", "CLONE_THREAD"}:
                    self.table_of[child] = started[1]
            return
        if name in _CONSOLE_WRITES and args:
            descriptor = parse_descriptor(args[0])
            if descriptor is not None and descriptor.number == 1 and call.succeeded():
                data = strings_in(",".join(args[1:]))
                if any(" -> Done." in text for text, _ in data):
                    self.done_checks.append((call, None))
                elif any(cut for _, cut in data):
                    self.done_checks.append((call, "strace cut the text short (-s): cannot "
                                                   "tell whether it reports a replacement done"))
        if not call.succeeded():
            return
        interval = Interval(call.first_line, call.last_line, call)
        if name in ("chdir", "fchdir") and args:
            if name == "chdir" and parse_name(args[0]) is not None:
                self.cwd[tid] = self.resolve(tid, None, parse_name(args[0]))
            elif name == "fchdir" and parse_descriptor(args[0]) is not None:
                self.cwd[tid] = parse_descriptor(args[0]).path
        elif name in _WRITES_AT or name == "truncate":
            counts_bytes = name not in ("ftruncate", "fallocate", "truncate")
            target = call.objects[0] if call.objects else None
            if target is not None and (not counts_bytes or call.value() > 0):
                target.writes.add(interval)
        elif name in ("fsync", "fdatasync"):
            if call.objects and call.objects[0] is not None:
                call.objects[0].flushes.add(interval)
            path = call.paths[0] if call.paths else None
            if path is not None and path.startswith("/"):
                self.folder_flushes.setdefault(path, Intervals()).add(interval)
        elif name == "syncfs":
            file_system = self.file_system(call.paths[0] if call.paths else None)
            if file_system is not None:
                self.fs_flushes.setdefault(file_system, Intervals()).add(interval)
        elif name == "sync":
            self.fs_flushes.setdefault(_EVERY_FILE_SYSTEM, Intervals()).add(interval)
        elif name in _NAME_CALLS:
            self.finish_name_call(call, interval)
        elif name in ("unlink", "unlinkat", "rmdir"):
            for path in call.paths:
                self.unname(path)
        elif name in ("open", "creat", "openat", "openat2"):
            self.finish_open(call, interval)
        elif name == "close" and args:
            descriptor = parse_descriptor(args[0])
            if descriptor is not None:
                self.table(tid).pop(descriptor.number, None)
        elif name == "close_range" and len(args) >= 2:
            try:
                first, last = int(args[0].split("<")[0]), int(args[1].split("<")[0], 0)
            except ValueError:
                return
            table = self.table(tid)
            for number in [n for n in table if isinstance(n, int) and first <= n <= last]:
                del table[number]
        elif name in ("dup", "dup2", "dup3", "fcntl") and call.objects and call.objects[0]:
            self.table(tid)[call.value()] = call.objects[0]

    def finish_name_call(self, call, interval):
        if not call.paths:
            self.name_checks.append((call, []))
            return
        old_path, new_path = call.paths
        source = call.objects[0]
        if source is None:
            call.problem = "cannot tell which file %s names" % show(old_path)
            self.name_checks.append((call, []))
            return
        if call.name in ("link", "linkat"):
            if old_path is not None and not _PROC_FD.match(old_path):
                self.names.setdefault(old_path, source)
            self.name(new_path, source)
            checked = [(source, new_path)]
            changed = [new_path]
        elif call.exchange:
            other = call.objects[1]
            self.names[new_path] = source
            self.names[old_path] = other
            checked = [(source, new_path), (other, old_path)]
            changed = [old_path, new_path]
        else:
            self.names.setdefault(old_path, source)
            self.move(old_path, new_path)
            checked = [(source, new_path)]
            changed = [old_path, new_path]
        self.name_checks.append((call, checked))
        for folder in sorted(set(posixpath.dirname(p) for p in changed)):
            self.folder_changes.append((interval, folder))

    def finish_open(self, call, interval):
        tid = call.tid
        at = call.name in ("openat", "openat2")
        result = call.result_descriptor()
        mode_arg = ""
        if call.name == "creat":
            mode_arg = "O_WRONLY|O_CREAT|O_TRUNC"
        elif len(call.args) > (2 if at else 1):
            mode_arg = call.args[2 if at else 1]
            if call.name == "openat2":
                found = re.search(r"flags=([^,}]*)", mode_arg)
                mode_arg = found.group(1) if found else ""
        open_flags = flags(mode_arg, _OPEN_BITS)
        written = call.paths[0] if call.paths else None
        actual = result.path if result is not None else None
        if written is not None and actual is not None and not result.deleted:
            self.learn_alias(written, actual)
        if "O_TMPFILE" in open_flags:
            opened = self.new_object("an O_TMPFILE file made at line %d in %s"
                                     % (call.first_line, show(written or "?")), written or actual)
            anonymous = re.match(r"(.*)/#(\d+)$", actual or "")
            if anonymous:
                self.anonymous[(anonymous.group(1), anonymous.group(2))] = opened
        elif written is None:
            opened = self.object_of(tid, result, call.last_line) if result else None
        elif "O_CREAT" in open_flags and "O_EXCL" in open_flags:
            opened = self.new_object("%s, made at line %d" % (show(written), call.first_line),
                                     written)
            self.name(written, opened)
        else:
            opened = self.object_at(written, call.first_line)
            self.names.setdefault(written, opened)
        if opened is not None and "O_TRUNC" in open_flags:
            opened.writes.add(interval)
        number = call.value()
        if opened is not None and number is not None:
            self.table(tid)[number] = opened

    # The rules, once every call is in.

    def flushed_between(self, own, file_system, after, before):
        """True when own flushes, a syncfs of file_system or a sync ran
        wholly between lines after and before."""
        for flushes in (own, self.fs_flushes.get(file_system),
                        self.fs_flushes.get(_EVERY_FILE_SYSTEM)):
            if flushes is not None and flushes.any_between(after, before):
                return True
        return False

    def dirty_at(self, target, line):
        """The write that leaves target dirty when a call starts at line, or None."""
        last = target.writes.last_started_before(line)
        if last is None or self.flushed_between(target.flushes, target.file_system,
                                                 last.last, line):
            return None
        return last

    def violations(self):
        found = []
        checked = []
        for call, targets in self.name_checks:
            bad = []
            if call.problem:
                bad.append(Violation(1, call, call.paths[-1] if call.paths else "?", call.problem))
            for target, path in targets:
                write = self.dirty_at(target, call.first_line)
                if write is not None:
                    bad.append(Violation(1, call, path, (
                        "now names %s, whose data was last written at line %s (%s) and not "
                        "flushed since" % (target.origin, write.what.where(), write.what.name))))
            checked.append((call, bad))
        changes = sorted(self.folder_changes, key=lambda change: change[0].first)
        last_change = {}  # folder -> the last change that started before the console line
        taken = 0
        for call, problem in sorted(self.done_checks, key=lambda check: check[0].first_line):
            bad = []
            if problem is not None:
                bad.append(Violation(2, call, "", problem))
            while taken < len(changes) and changes[taken][0].first < call.first_line:
                interval, folder = changes[taken]
                if folder not in last_change or interval.last > last_change[folder].last:
                    last_change[folder] = interval
                taken += 1
            for folder in sorted(last_change):
                change = last_change[folder]
                if not self.flushed_between(self.folder_flushes.get(folder),
                                            self.file_system(folder), change.last,
                                            call.first_line):
                    bad.append(Violation(2, call, folder, (
                        "folder %s changed at line %s (%s) and not flushed since"
                        % (show(folder), change.what.where(), change.what.name))))
            checked.append((call, bad))
        checked.sort(key=lambda item: item[0].first_line)
        for _, bad in checked:
            found.extend(bad)
        return checked, found


def check(lines, mount_points):
    """Runs the model over a log: (checked calls with their violations, all
    violations, whether the log showed descriptor paths)."""
    model = Model(mount_points)
    events = []
    calls = parse_calls(lines)
    for call in calls:
        events.append((call.first_line, 0, call))
        events.append((call.last_line, 1, call))
    events.sort(key=lambda event: (event[0], event[1]))
    for _, phase, call in events:
        if phase == 0:
            model.start(call)
        else:
            model.finish(call)
    checked, found = model.violations()
    with_paths = any(re.match(r"(-?\d+|AT_FDCWD)<", text)
                     for call in calls for text in call.args + [call.result])
    return checked, found, with_paths


def describe(call):
    """A call for a report, shortened."""
    args = ", ".join(call.args)
    if len(args) > 200:
        args = args[:200] + " ..."
    return "%s(%s)" % (call.name, args)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="strace options for LOG: " + " ".join(strace_arguments("LOG")) + " COMMAND...")
    parser.add_argument("log", nargs="?", help="strace log of a kelvo run")
    parser.add_argument("--mounts", default="/proc/self/mounts",
                        help="mount table in /proc/self/mounts form (default: this machine's)")
    parser.add_argument("--limit", type=int, default=0,
                        help="print at most this many violations of each rule (0: all)")
    parser.add_argument("--strace-command", action="store_true",
                        help="print the strace options this checker needs, and end")
    options = parser.parse_args(argv)
    if options.strace_command:
        print(" ".join(strace_arguments("LOG")))
        return 0
    if options.log is None:
        parser.error("give the strace log")
    try:
        with open(options.log, encoding="utf-8", errors="surrogateescape") as log:
            lines = log.readlines()
    except OSError as error:
        print("call_order_check: cannot read %s: %s" % (options.log, error.strerror),
              file=sys.stderr)
        return 2
    checked, found, with_paths = check(lines, read_mounts(options.mounts))
    if not with_paths:
        print("call_order_check: %s shows no descriptor paths: make it with strace -y"
              % options.log, file=sys.stderr)
        return 2
    if not checked:
        print("call_order_check: %s shows no name call and no write to standard output: "
              "was it made with the calls of --strace-command?" % options.log, file=sys.stderr)
        return 2
    printed = {1: 0, 2: 0}
    for violation in found:
        printed[violation.rule] += 1
        if options.limit and printed[violation.rule] > options.limit:
            continue
        name = " %s" % show(violation.name) if violation.name and violation.rule == 1 else ""
        print("%s:%s: rule %d: %s%s: %s" % (options.log, violation.call.where(), violation.rule,
                                           describe(violation.call), name, violation.why))
    for rule, what in ((1, "names made to point at unflushed files"),
                       (2, "replacements reported done before their folders were flushed")):
        total = sum(1 for v in found if v.rule == rule)
        calls = sum(1 for call, bad in checked if any(v.rule == rule for v in bad))
        if options.limit and total > options.limit:
            print("(%d more of rule %d not shown)" % (total - options.limit, rule))
        print("rule %d (%s): %d violations in %d calls" % (rule, what, total, calls))
    failed = sum(1 for _, bad in checked if bad)
    print("%d passed, %d failed" % (len(checked) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
