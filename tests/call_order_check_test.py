#!/usr/bin/env python3
"""Unit tests of call_order_check.py on hand-written strace logs: each rule
passes a good order and catches a bad one."""

import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import call_order_check  # noqa: E402

MOUNTS = ["/other", "/"]


def trace(*lines):
    """A log from calls of thread 100; a line that starts with a number or
    '[pid' names its own thread."""
    out = []
    for line in lines:
        if line[:1].isdigit() or line.startswith("[pid"):
            out.append(line + "\n")
        else:
            out.append("100   " + line + "\n")
    return out


def run(lines):
    checked, found, _ = call_order_check.check(lines, MOUNTS)
    return checked, found


def rules(found):
    return [violation.rule for violation in found]


# One flushed replacement of an existing destination, as the fixed program
# should make it: the copy flushed before it is named, the folder after.
GOOD_REPLACEMENT = [
    'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_CLOEXEC|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
    'openat(AT_FDCWD</d>, "/pool/a", O_RDONLY|O_CLOEXEC) = 5</pool/a>',
    'copy_file_range(5</pool/a>, NULL, 4</d/#11>(deleted), NULL, 1073741824, 0) = 3',
    'close(5</pool/a>) = 0',
    'fchmod(4</d/#11>(deleted), 0644) = 0',
    'fdatasync(4</d/#11>(deleted)) = 0',
    'linkat(4</d/#11>(deleted), "", AT_FDCWD</d>, "/d/.kelvo-1-1.old", AT_EMPTY_PATH) = 0',
    'close(4</d/.kelvo-1-1.old>) = 0',
    'renameat2(AT_FDCWD</d>, "/d/.kelvo-1-1.old", AT_FDCWD</d>, "/d/x.txt", RENAME_EXCHANGE) = 0',
    'link("/d/x.tmp", "/d/.kelvo-1-2.del") = 0',
    'rename("/d/.kelvo-1-1.old", "/d/x.tmp") = 0',
    'openat(AT_FDCWD</d>, "/d", O_RDONLY|O_CLOEXEC|O_DIRECTORY) = 6</d>',
    'fsync(6</d>) = 0',
    'close(6</d>) = 0',
    'write(1</dev/pts/0>, "12:00:00, Replacing /pool/a to /d/x.txt -> Done.\\n", 49) = 49',
    'unlink("/d/.kelvo-1-2.del") = 0',
]


class CleanOrders(unittest.TestCase):
    def test_flushed_replacement_passes(self):
        checked, found = run(trace(*GOOD_REPLACEMENT))
        self.assertEqual(found, [])
        # linkat, the exchange, the .del link, the rename to .tmp, the console line
        self.assertEqual(len(checked), 5)

    def test_batch_flushed_by_one_syncfs_passes(self):
        lines = []
        for n, folder in ((11, "/d"), (12, "/d"), (13, "/e")):
            fd = n - 7
            lines += [
                'openat(AT_FDCWD</d>, "%s/", O_WRONLY|O_TMPFILE, 0600) = %d<%s/#%d>(deleted)'
                % (folder, fd, folder, n),
                'write(%d<%s/#%d>(deleted), "data", 4) = 4' % (fd, folder, n)]
        lines.append('syncfs(4</d/#11>(deleted)) = 0')
        for n, folder in ((11, "/d"), (12, "/d"), (13, "/e")):
            fd = n - 7
            lines += [
                'linkat(%d<%s/#%d>(deleted), "", AT_FDCWD</d>, "%s/.kelvo-1-%d.new", '
                'AT_EMPTY_PATH) = 0' % (fd, folder, n, folder, n),
                'renameat2(AT_FDCWD</d>, "%s/.kelvo-1-%d.new", AT_FDCWD</d>, "%s/y%d", '
                'RENAME_NOREPLACE) = 0' % (folder, n, folder, n)]
        lines += ['openat(AT_FDCWD</d>, "/d", O_RDONLY|O_DIRECTORY) = 8</d>',
                  'fsync(8</d>) = 0',
                  'openat(AT_FDCWD</d>, "/e", O_RDONLY|O_DIRECTORY) = 9</e>',
                  'fsync(9</e>) = 0']
        lines += ['write(1<pipe:[7]>, " -> Done.\\n", 10) = 10'] * 3
        checked, found = run(trace(*lines))
        self.assertEqual(found, [])
        self.assertEqual(len(checked), 9)

    def test_files_there_before_the_trace_count_as_flushed(self):
        checked, found = run(trace('link("/d/x.txt", "/d/x.txt.orig") = 0',
                                   'rename("/d/x.tmp", "/d/.kelvo-1-3.del") = 0'))
        self.assertEqual(found, [])
        self.assertEqual(len(checked), 2)


class NamesOfUnflushedFiles(unittest.TestCase):
    NEW_FILE = [
        'openat(AT_FDCWD</d>, "/d/.kelvo-1-1.new", O_WRONLY|O_CREAT|O_EXCL|O_NOFOLLOW, 0600)'
        ' = 4</d/.kelvo-1-1.new>',
        'write(4</d/.kelvo-1-1.new>, "data", 4) = 4',
    ]

    def test_rename_of_dirty_file_fails(self):
        checked, found = run(trace(*self.NEW_FILE,
                                   'rename("/d/.kelvo-1-1.new", "/d/x.txt") = 0'))
        self.assertEqual(rules(found), [1])
        self.assertEqual(found[0].call.name, "rename")
        self.assertEqual(found[0].name, "/d/x.txt")
        self.assertIn("written at line 2 (write)", found[0].why)

    def test_flush_before_the_last_write_does_not_count(self):
        _, found = run(trace(*self.NEW_FILE,
                             'fsync(4</d/.kelvo-1-1.new>) = 0',
                             'pwrite64(4</d/.kelvo-1-1.new>, "more", 4, 4) = 4',
                             'rename("/d/.kelvo-1-1.new", "/d/x.txt") = 0'))
        self.assertEqual(rules(found), [1])

    def test_rename_after_fsync_passes(self):
        _, found = run(trace(*self.NEW_FILE,
                             'fsync(4</d/.kelvo-1-1.new>) = 0',
                             'rename("/d/.kelvo-1-1.new", "/d/x.txt") = 0'))
        self.assertEqual(found, [])

    def test_exchange_of_dirty_file_fails(self):
        checked, found = run(trace(
            'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
            'fsync(4</d/#11>(deleted)) = 0',
            'linkat(4</d/#11>(deleted), "", AT_FDCWD</d>, "/d/.kelvo-1-1.old", AT_EMPTY_PATH) = 0',
            'sendfile(4</d/.kelvo-1-1.old>, 5</pool/a>, NULL, 1073741824) = 3',
            'renameat2(AT_FDCWD</d>, "/d/.kelvo-1-1.old", AT_FDCWD</d>, "/d/x.txt", '
            'RENAME_EXCHANGE) = 0'))
        self.assertEqual(rules(found), [1])
        self.assertEqual(found[0].call.name, "renameat2")
        self.assertEqual(found[0].name, "/d/x.txt")
        self.assertEqual(len(checked), 2)

    def test_exchange_checks_the_other_name_too(self):
        _, found = run(trace(
            'openat(AT_FDCWD</d>, "/d/x.txt", O_WRONLY) = 3</d/x.txt>',
            'ftruncate(3</d/x.txt>, 0) = 0',
            'renameat2(AT_FDCWD</d>, "/d/.kelvo-1-1.old", AT_FDCWD</d>, "/d/x.txt", '
            'RENAME_EXCHANGE) = 0'))
        self.assertEqual(rules(found), [1])
        self.assertEqual(found[0].name, "/d/.kelvo-1-1.old")

    def test_syncfs_cleans_the_files_of_its_file_system(self):
        lines = ['openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
                 'copy_file_range(5</pool/a>, NULL, 4</d/#11>(deleted), NULL, 99, 0) = 3']
        link = ('linkat(4</d/#11>(deleted), "", AT_FDCWD</d>, "/d/.kelvo-1-1.new", '
                'AT_EMPTY_PATH) = 0')
        _, unflushed = run(trace(*lines, link))
        _, flushed = run(trace(*lines, 'syncfs(7</d>) = 0', link))
        _, elsewhere = run(trace(*lines, 'syncfs(7</other/f>) = 0', link))
        _, everything = run(trace(*lines, 'sync() = 0', link))
        self.assertEqual(rules(unflushed), [1])
        self.assertEqual(flushed, [])
        self.assertEqual(rules(elsewhere), [1])
        self.assertEqual(everything, [])

    def test_syncfs_of_no_file_system_cleans_nothing(self):
        _, found = run(trace(
            'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
            'write(4</d/#11>(deleted), "data", 4) = 4',
            'syncfs(1<pipe:[7]>) = 0',
            'linkat(4</d/#11>(deleted), "", AT_FDCWD</d>, "/d/n", AT_EMPTY_PATH) = 0'))
        self.assertEqual(rules(found), [1])

    def test_link_of_a_descriptor_it_cannot_follow_fails(self):
        checked, found = run(trace('linkat(AT_FDCWD</d>, "/proc/self/fd/9", AT_FDCWD</d>, '
                                   '"/d/n", AT_SYMLINK_FOLLOW) = 0'))
        self.assertEqual(rules(found), [1])
        self.assertIn("cannot tell which file", found[0].why)

    def test_link_through_proc_follows_the_descriptor(self):
        lines = ['openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
                 'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 5</d/#12>(deleted)',
                 'write(4</d/#11>(deleted), "data", 4) = 4',
                 'write(5</d/#12>(deleted), "data", 4) = 4',
                 'fdatasync(5</d/#12>(deleted)) = 0']
        _, dirty = run(trace(*lines, 'linkat(AT_FDCWD</d>, "/proc/self/fd/4", AT_FDCWD</d>, '
                                     '"/d/.kelvo-1-1.new", AT_SYMLINK_FOLLOW) = 0'))
        _, clean = run(trace(*lines, 'linkat(AT_FDCWD</d>, "/proc/self/fd/5", AT_FDCWD</d>, '
                                     '"/d/.kelvo-1-1.new", AT_SYMLINK_FOLLOW) = 0'))
        self.assertEqual(rules(dirty), [1])
        self.assertEqual(clean, [])

    def test_threads_share_descriptors(self):
        _, found = run(trace(
            'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
            'write(4</d/#11>(deleted), "data", 4) = 4',
            'clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD, '
            'exit_signal=0, stack=0x7f00, stack_size=0x7ff80}, 88) = 101',
            '101   linkat(AT_FDCWD</d>, "/proc/self/fd/4", AT_FDCWD</d>, "/d/n", '
            'AT_SYMLINK_FOLLOW) = 0'))
        self.assertEqual(rules(found), [1])

    def test_a_file_is_followed_through_its_names(self):
        _, found = run(trace(
            'openat(AT_FDCWD</d>, "/d/a", O_WRONLY|O_CREAT|O_EXCL, 0600) = 3</d/a>',
            'fsync(3</d/a>) = 0',
            'close(3</d/a>) = 0',
            'rename("/d/a", "/d/b") = 0',
            'openat(AT_FDCWD</d>, "b", O_WRONLY) = 3</d/b>',
            'write(3</d/b>, "x", 1) = 1',
            'link("/d/b", "/d/c") = 0',
            'unlink("/d/b") = 0',
            'rename("/d/c", "/d/e") = 0'))
        self.assertEqual([(v.rule, v.name) for v in found], [(1, "/d/c"), (1, "/d/e")])

    def test_failed_calls_do_not_count(self):
        checked, found = run(trace(*self.NEW_FILE,
                                   'fsync(4</d/.kelvo-1-1.new>) = -1 EIO (Input/output error)',
                                   'rename("/d/.kelvo-1-1.new", "/d/x") = -1 EXDEV (Invalid '
                                   'cross-device link)',
                                   'renameat2(AT_FDCWD</d>, "/d/.kelvo-1-1.new", AT_FDCWD</d>, '
                                   '"/d/x", RENAME_NOREPLACE) = 0'))
        self.assertEqual(rules(found), [1])
        self.assertEqual(found[0].call.name, "renameat2")
        self.assertEqual(len(checked), 1)


class FoldersBeforeDone(unittest.TestCase):
    CHANGES = [
        'renameat2(AT_FDCWD</d>, "/d/.kelvo-1-1.new", AT_FDCWD</d>, "/d/x", RENAME_NOREPLACE) = 0',
        'renameat2(AT_FDCWD</d>, "/e/.kelvo-1-2.new", AT_FDCWD</d>, "/e/y", RENAME_NOREPLACE) = 0',
    ]
    DONE = 'write(1</dev/pts/0>, " -> Done.\\n", 10) = 10'

    def test_missing_folder_flush_fails(self):
        _, found = run(trace(*self.CHANGES,
                             'openat(AT_FDCWD</d>, "/d", O_RDONLY|O_DIRECTORY) = 3</d>',
                             'fsync(3</d>) = 0',
                             self.DONE))
        self.assertEqual([(v.rule, v.name) for v in found], [(2, "/e")])
        self.assertIn("changed at line 2 (renameat2)", found[0].why)

    def test_every_folder_flushed_passes(self):
        checked, found = run(trace(*self.CHANGES, 'fsync(3</d>) = 0', 'fsync(4</e>) = 0',
                                   self.DONE, self.DONE))
        self.assertEqual(found, [])
        self.assertEqual(len(checked), 4)

    def test_flush_before_the_change_fails(self):
        _, found = run(trace('fsync(3</d>) = 0', 'fsync(4</e>) = 0', *self.CHANGES, self.DONE))
        self.assertEqual(rules(found), [2, 2])

    def test_each_done_line_needs_the_flush_of_the_changes_before_it(self):
        _, found = run(trace(*self.CHANGES, 'fsync(3</d>) = 0', 'fsync(4</e>) = 0', self.DONE,
                             'rename("/d/.kelvo-1-3.old", "/d/x.tmp") = 0', self.DONE))
        self.assertEqual([(v.rule, v.call.first_line, v.name) for v in found], [(2, 7, "/d")])

    def test_helper_unlinks_need_no_flush(self):
        checked, found = run(trace('unlink("/d/.kelvo-1-2.del") = 0',
                                   'unlinkat(AT_FDCWD</d>, ".kelvo-1-3.new", 0) = 0', self.DONE))
        self.assertEqual(found, [])
        self.assertEqual(len(checked), 1)

    def test_other_output_needs_nothing(self):
        checked, found = run(trace(*self.CHANGES,
                                   'write(1</dev/pts/0>, " -> Failed.\\n", 12) = 12',
                                   'write(2</dev/pts/0>, "x -> Done.\\n", 11) = 11'))
        self.assertEqual(found, [])
        self.assertEqual(len(checked), 2)

    def test_done_in_a_writev_counts(self):
        _, found = run(trace(*self.CHANGES, 'writev(1<pipe:[9]>, [{iov_base="12:00:00, x", '
                             'iov_len=11}, {iov_base=" -> Done.\\n", iov_len=10}], 2) = 21'))
        self.assertEqual(rules(found), [2, 2])

    def test_output_cut_short_cannot_pass(self):
        _, found = run(trace('write(1</dev/pts/0>, "12:00:00, Replacing /pool/a to"..., 60) = 60'))
        self.assertEqual(rules(found), [2])
        self.assertIn("-s", found[0].why)


class ReadingTheLog(unittest.TestCase):
    def test_unfinished_calls_are_joined(self):
        lines = trace(
            'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
            '100   write(4</d/#11>(deleted), "data", 4 <unfinished ...>',
            '101   unlink("/d/.kelvo-1-2.del" <unfinished ...>',
            '100   <... write resumed>) = 4',
            '101   <... unlink resumed>) = 0',
            'fsync(4</d/#11>(deleted)) = 0',
            'linkat(4</d/#11>(deleted), "", AT_FDCWD</d>, "/d/n", AT_EMPTY_PATH) = 0')
        _, found = run(lines)
        self.assertEqual(found, [])

    def test_flush_that_starts_before_the_write_ends_does_not_count(self):
        lines = trace(
            'openat(AT_FDCWD</d>, "/d/", O_WRONLY|O_TMPFILE, 0600) = 4</d/#11>(deleted)',
            '100   write(4</d/#11>(deleted), "data", 4 <unfinished ...>',
            '101   fsync(4</d/#11>(deleted) <unfinished ...>',
            '100   <... write resumed>) = 4',
            '101   <... fsync resumed>) = 0',
            'linkat(4</d/#11>(deleted), "", AT_FDCWD</d>, "/d/n", AT_EMPTY_PATH) = 0')
        _, found = run(lines)
        self.assertEqual(rules(found), [1])
        self.assertIn("line 2-4 (write)", found[0].why)

    def test_escaped_names(self):
        lines = trace(
            'openat(AT_FDCWD</d>, "/d/a \\"b\\",c\\303\\251<>", O_WRONLY|O_CREAT|O_EXCL, 0600)'
            ' = 3</d/a \\"b\\",c\\303\\251\\74\\76>',
            'openat(AT_FDCWD</d>, "/d/o", O_WRONLY|O_CREAT|O_EXCL, 0600) = 4</d/o>',
            'fsync(3</d/a \\"b\\",c\\303\\251\\74\\76>) = 0',
            'rename("/d/a \\"b\\",c\\303\\251<>", "/d/t\\tx") = 0',
            'write(3</d/t\\tx>, "x", 1) = 1',
            'rename("/d/o", "/d/p") = 0',
            'rename("/d/t\\tx", "/d/u") = 0')
        _, found = run(lines)
        self.assertEqual([v.name for v in found], ["/d/u"])
        self.assertIn('"/d/a \\"b\\",c\\xc3\\xa9<>", made at line 1', found[0].why)

    def test_descriptor_paths(self):
        parse = call_order_check.parse_descriptor
        tmp = parse('4</d/a \\"b\\",c\\303\\251\\74\\76 (deleted)>(deleted)')
        self.assertEqual((tmp.number, tmp.path, tmp.deleted),
                         (4, '/d/a "b",c\xe9<> (deleted)', True))
        here = parse("AT_FDCWD</d/x\\\\y>")
        self.assertEqual((here.number, here.path, here.deleted), ("AT_FDCWD", "/d/x\\y", False))
        nested = parse("1</dev/null<char 1:3>>")
        self.assertEqual((nested.number, nested.path), (1, "/dev/null"))

    def test_other_line_forms(self):
        lines = [
            '[pid   100] 12:00:00.000001 openat(AT_FDCWD</d>, "/d/n", O_WRONLY|O_CREAT|O_EXCL,'
            ' 0600) = 3</d/n> <0.000010>\n',
            '[pid   100] 12:00:00.000002 write(3</d/n>, "x", 1) = 1 <0.000004>\n',
            '100   --- SIGTERM {si_signo=SIGTERM, si_code=SI_USER} ---\n',
            '100   +++ exited with 0 +++\n',
            '[pid   100] 12:00:00.000003 rename("/d/n", "/d/m") = 0 <0.000010>\n',
        ]
        _, found = run(lines)
        self.assertEqual(rules(found), [1])


class CommandLine(unittest.TestCase):
    def main(self, lines):
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "trace.log")
            mounts = os.path.join(folder, "mounts")
            with open(log, "w") as out:
                out.writelines(lines)
            with open(mounts, "w") as out:
                out.write("/dev/vda / ext4 rw 0 0\n")
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(printed):
                status = call_order_check.main([log, "--mounts", mounts])
            return status, printed.getvalue()

    def test_clean_log_ends_with_zero(self):
        status, printed = self.main(trace(*GOOD_REPLACEMENT))
        self.assertEqual(status, 0, printed)
        self.assertTrue(printed.endswith("5 passed, 0 failed\n"), printed)

    def test_violations_end_with_one_and_are_reported_by_line(self):
        lines = [line for line in GOOD_REPLACEMENT if not line.startswith("fdatasync")
                 and not line.startswith("fsync")]
        status, printed = self.main(trace(*lines))
        self.assertEqual(status, 1, printed)
        self.assertIn(":6: rule 1: linkat(", printed)
        self.assertIn(":8: rule 1: renameat2(", printed)
        self.assertIn(":13: rule 2: write(1</dev/pts/0>", printed)
        self.assertIn("rule 1 (names made to point at unflushed files): 2 violations in 2 calls",
                      printed)
        self.assertTrue(printed.endswith("2 passed, 3 failed\n"), printed)

    def test_log_without_descriptor_paths_is_refused(self):
        status, printed = self.main(['100   write(1, " -> Done.\\n", 10) = 10\n'])
        self.assertEqual(status, 2)
        self.assertIn("strace -y", printed)

    def test_log_without_the_calls_is_refused(self):
        status, printed = self.main(['100   close(3</d>) = 0\n'])
        self.assertEqual(status, 2)
        self.assertIn("--strace-command", printed)


if __name__ == "__main__":
    unittest.main()
