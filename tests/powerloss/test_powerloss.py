"""The explorer's own model cases: which states a crash may leave after a tiny
synthetic trace, and how strace lines become operations."""

import os
import random
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from crashfs import (CREATE, FSYNC, MKDIR, RENAME, RMDIR, UNLINK, WRITE, Fs, Op,  # noqa: E402
                     Trace)
from explore import Step, broken_promises, read_promises  # noqa: E402
from strace_ops import Reader  # noqa: E402

ROOT = 0
TMP, TARGET, DIR_INO, CHILD, OLD = 1, 2, 3, 4, 5


def base_with_target() -> Fs:
    fs = Fs()
    fs.inodes[OLD] = type(fs.inodes[ROOT])("file", data=b"old")
    fs.inodes[ROOT].entries[b"target"] = OLD
    fs.next_ino = 100
    return fs


def shown(trace: Trace, k: int) -> set[tuple]:
    states, whole = trace.states(k, 10_000, random.Random(0))
    assert whole
    return {tuple(sorted((p.decode(), v[1]) for p, v in s.files.items())) for s in states}


# The replace-by-rename sequence, with and without its flushes.
def replace(flush_file: bool, flush_dir: bool) -> list[Op]:
    ops = [Op(CREATE, dir=ROOT, name=b"tmp", ino=TMP), Op(WRITE, ino=TMP, data=b"new")]
    if flush_file:
        ops.append(Op(FSYNC, ino=TMP))
    ops.append(Op(RENAME, dir=ROOT, name=b"tmp", ino=TMP, dir2=ROOT, name2=b"target"))
    if flush_dir:
        ops.append(Op(FSYNC, ino=ROOT))
    return ops


class CrashStates(unittest.TestCase):
    def test_states_after_a_replace(self):
        old, new = ("target", b"old"), ("target", b"new")
        cases = [
            # Flushed file, unflushed folder: old target (with or without the
            # temporary file) or the new one whole, never a torn one.
            (True, False, {(old,), (("target", b"old"), ("tmp", b"new")), (new,)}),
            # Both flushed: only the new target.
            (True, True, {(new,)}),
        ]
        for flush_file, flush_dir, expected in cases:
            with self.subTest(flush_file=flush_file, flush_dir=flush_dir):
                ops = replace(flush_file, flush_dir)
                self.assertEqual(shown(Trace(base_with_target(), ops), len(ops)), expected)

    def test_unflushed_data_can_be_lost_or_cut_behind_a_kept_rename(self):
        ops = [Op(CREATE, dir=ROOT, name=b"tmp", ino=TMP), Op(WRITE, ino=TMP, data=b"x" * 10000),
               Op(RENAME, dir=ROOT, name=b"tmp", ino=TMP, dir2=ROOT, name2=b"target")]
        targets = {dict(s).get("target") for s in shown(Trace(base_with_target(), ops), 3)}
        self.assertIn(b"", targets)                 # renamed, data missing
        self.assertIn(b"x" * 8192, targets)         # cut at a block boundary
        self.assertIn(bytes(10000), targets)        # length without the bytes
        self.assertIn(b"old", targets)              # rename not on disk

    def test_dependencies_between_entries(self):
        # mkdir d; create d/f (flushed by d's own fsync); rmdir after unlink.
        ops = [Op(MKDIR, dir=ROOT, name=b"d", ino=DIR_INO),
               Op(CREATE, dir=DIR_INO, name=b"f", ino=CHILD), Op(FSYNC, ino=DIR_INO),
               Op(UNLINK, dir=DIR_INO, name=b"f", ino=CHILD),
               Op(RMDIR, dir=ROOT, name=b"d", ino=DIR_INO)]
        trace = Trace(Fs(), ops)
        self.assertEqual(shown(trace, 3), {(), (("d", b""), ("d/f", b""))})
        # Without the mkdir on disk neither the folder nor its file exists;
        # the rmdir can only be there once the folder was emptied.
        self.assertEqual(shown(trace, 5), {(), (("d", b""), ("d/f", b"")), (("d", b""),)})
        self.assertEqual(trace.deps[4], {0, 1, 3})
        # A file moved out of a created folder was there only if the folder was.
        moved = Trace(Fs(), ops[:3] + [
            Op(RENAME, dir=DIR_INO, name=b"f", ino=CHILD, dir2=ROOT, name2=b"g")])
        self.assertEqual(shown(moved, 4),
                         {(), (("d", b""), ("d/f", b"")), (("d", b""), ("g", b""))})

    def test_an_entry_changes_in_order(self):
        # unlink target, then a new target: the second cannot be kept alone
        # with the first lost in a way that shows anything but old or new.
        ops = [Op(UNLINK, dir=ROOT, name=b"target", ino=OLD),
               Op(CREATE, dir=ROOT, name=b"target", ino=TMP), Op(WRITE, ino=TMP, data=b"n"),
               Op(FSYNC, ino=TMP)]
        self.assertEqual(shown(Trace(base_with_target(), ops), 4),
                         {(("target", b"old"),), (), (("target", b"n"),)})


class Promises(unittest.TestCase):
    TABLE = "\n".join([
        "| Step | Its own changes a crash can take back | Why |",
        "|---|---|---|",
        "| `prepare` | `.lease`, `.lock` | the lease |",
        "| `stage` (plain form) | `.pair` | the pair |",
        "| `stage` (launcher form) | none | nothing |",
        "",
        "| `verify` | not a row of the table | |"])

    def test_the_table_is_read_by_step_and_form(self):
        self.assertEqual(read_promises(self.TABLE), {
            ("prepare", None): {".lease", ".lock"}, ("stage", "plain"): {".pair"},
            ("stage", "launcher"): set()})
        with self.assertRaises(RuntimeError):
            read_promises(self.TABLE.replace("| none |", "| nothing |"))

    def test_a_step_answers_for_its_own_changes_not_yet_durable(self):
        # prepare makes "above/inst" (flushed into "above" or not) and writes
        # the lease there; stage writes the pair. Names are read from the
        # installation folder "above/inst".
        above, inst, lease, pair = 10, 11, 12, 13

        def ops(flushed: bool) -> list[Op]:
            made = [Op(MKDIR, dir=ROOT, name=b"above", ino=above, paths=("above",)),
                    Op(FSYNC, ino=ROOT),
                    Op(MKDIR, dir=above, name=b"inst", ino=inst, paths=("above/inst",))]
            if flushed:
                made.append(Op(FSYNC, ino=above))
            made.append(Op(CREATE, dir=inst, name=b".lease", ino=lease,
                           paths=("above/inst/.lease",)))
            stage = [Op(CREATE, dir=inst, name=b".pair", ino=pair, step=1,
                        paths=("above/inst/.pair",))]
            return made + stage

        steps = [Step("prepare"), Step("stage", ["--launcher", "x"])]
        promises = read_promises(self.TABLE)
        for flushed, expected in ((True, ["stage: create above/inst/.pair"]),
                                  (False, ["prepare: mkdir above/inst",
                                           "stage: create above/inst/.pair"])):
            with self.subTest(flushed=flushed):
                trace = Trace(Fs(), ops(flushed))
                found = broken_promises(trace, steps, [len(trace.ops) - 1, len(trace.ops)],
                                        "above/inst", promises)
                # The lease is prepare's promise, also once stage returned.
                self.assertEqual([f"{step.name}: {op.kind} {op.paths[0]}" for step, op, _ in found],
                                 expected)
        self.assertEqual(broken_promises(trace, [Step("verify")], [0], "", promises),
                         [(Step("verify"), None, None)])

    def test_a_removal_in_a_folder_removed_for_good_is_hidden(self):
        ops = [Op(UNLINK, dir=DIR_INO, name=b"f", ino=CHILD),
               Op(RMDIR, dir=ROOT, name=b"d", ino=DIR_INO)]
        base = Fs()
        base.inodes[DIR_INO] = type(base.inodes[ROOT])("dir", entries={b"f": CHILD})
        base.inodes[CHILD] = type(base.inodes[ROOT])("file")
        base.inodes[ROOT].entries[b"d"] = DIR_INO
        base.next_ino = 100
        self.assertFalse(Trace(base, ops).hidden(0, 2))
        flushed = Trace(base, ops + [Op(FSYNC, ino=ROOT)])
        self.assertTrue(flushed.hidden(0, 3))
        self.assertEqual(shown(flushed, 3), {()})


class StraceLines(unittest.TestCase):
    def test_calls_become_operations(self):
        def hx(text: str) -> str:
            return "".join(f"\\x{b:02x}" for b in text.encode())

        root = "/inst"
        d = f"3<{hx(root)}>"
        lines = [
            f'7 openat(-100<{hx("/")}>, "{hx(root)}", 0x90800) = 3<{hx(root)}>\n',
            f'7 mkdirat({d}, "{hx("mcp")}", 0755) = 0\n',
            f'7 openat({d}, "{hx("mcp/t")}", 0xc1, 0644 <unfinished ...>\n',
            f'8 openat({d}, "{hx("ignored")}", 0xc1, 0644) = 5<{hx(root + "/ignored")}>\n',
            f'7 <... openat resumed>) = 4<{hx(root + "/mcp/t")}>\n',
            f'7 write(4<{hx(root + "/mcp/t")}>, "{hx("hello")}", 5) = 5\n',
            f'7 fsync(4<{hx(root + "/mcp/t")}>) = 0\n',
            f'7 close(4<{hx(root + "/mcp/t")}>) = 0\n',
            f'7 renameat({d}, "{hx("mcp/t")}", {d}, "{hx("mcp/v")}") = 0\n',
            f'7 unlinkat({d}, "{hx("gone")}", 0) = -1 ENOENT (No such file or directory)\n',
            f'7 unlinkat({d}, "{hx("mcp/v")}", 0) = 0\n',
            f'7 unlinkat({d}, "{hx("mcp")}", 0x200) = 0\n',
            f'7 fsync({d}) = 0\n',
        ]
        reader = Reader(Fs(), root)
        reader.feed(lines)
        self.assertEqual([(op.kind, op.where) for op in reader.ops], [
            (MKDIR, "mkdir mcp (mkdirat)"), (CREATE, "create mcp/t (openat)"),
            (WRITE, "write mcp/t (write)"), (FSYNC, "fsync mcp/t (fsync)"),
            (RENAME, "rename mcp/t -> mcp/v (renameat)"), (UNLINK, "unlink mcp/v (unlinkat)"),
            (RMDIR, "rmdir mcp (unlinkat)"), (FSYNC, "fsync . (fsync)")])
        self.assertEqual(reader.fs.snapshot().files, {})


if __name__ == "__main__":
    unittest.main()
