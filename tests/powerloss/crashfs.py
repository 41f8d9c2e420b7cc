"""A file system as a power cut leaves it: the operations a program issued, which
of them had been made durable, and every state a strict file system may show
after a crash at a given point (see README.md for the model).

The model knows inodes, not paths: a file inode holds bytes, a folder inode its
entries (name -> inode). Operations name the inodes they touch, so a file keeps
its identity through renames and a folder can hold entries before (or without)
its own entry being durable.
"""

from __future__ import annotations

import dataclasses
import hashlib
import itertools
import random
from typing import Iterable, Iterator

FILE, DIR, LINK = "file", "dir", "link"

# Kinds of operations. Entry operations change a folder; data operations the
# bytes of a file; barriers make earlier operations durable.
CREATE, MKDIR, UNLINK, RMDIR, RENAME, LINKOP, SYMLINK = (
    "create", "mkdir", "unlink", "rmdir", "rename", "link", "symlink")
WRITE, TRUNCATE = "write", "truncate"
FSYNC, SYNC = "fsync", "sync"
ENTRY_OPS = {CREATE, MKDIR, UNLINK, RMDIR, RENAME, LINKOP, SYMLINK}
DATA_OPS = {WRITE, TRUNCATE}

# How the not yet durable data of one file may have reached the disk: not at
# all, whole, cut short at a block boundary (up to CUTS of them, evenly
# spread; a file of one block is cut in the middle), or with its length but not
# its bytes (zeros where the data should be).
BLOCK = 4096
CUTS = 8
DATA_VARIANTS = ("none", "all", *(f"cut{i}/{CUTS}" for i in range(1, CUTS)), "zeros")


@dataclasses.dataclass
class Inode:
    kind: str
    data: bytes = b""
    entries: dict = dataclasses.field(default_factory=dict)
    mode: int = 0o644
    target: bytes = b""

    def copy(self) -> "Inode":
        return Inode(self.kind, self.data, dict(self.entries), self.mode, self.target)


@dataclasses.dataclass
class Op:
    kind: str
    dir: int = -1          # folder of the entry (source folder of a rename)
    name: bytes = b""
    ino: int = -1          # inode created, moved, removed, written or flushed
    dir2: int = -1         # destination folder of a rename
    name2: bytes = b""
    offset: int = 0
    data: bytes = b""
    size: int = 0
    mode: int = 0o644
    target: bytes = b""
    step: int = 0          # index of the step that issued it
    where: str = ""        # the call, as the trace shows it (for reports)
    durable_now: bool = False  # made durable by whoever issued it, at once
    with_next: bool = False    # no crash can fall between it and the next one
    flush: str = ""            # what would make it durable (for reports)
    paths: tuple = ()          # the names it changes, from the folder's root

    def entries(self) -> list[tuple[int, bytes]]:
        if self.kind == RENAME:
            return [(self.dir, self.name), (self.dir2, self.name2)]
        if self.kind in ENTRY_OPS:
            return [(self.dir, self.name)]
        return []

    def barrier_inode(self) -> int:
        """The inode whose flush makes this operation durable."""
        if self.kind in DATA_OPS:
            return self.ino
        if self.kind == RENAME:
            return self.dir2
        return self.dir


class Fs:
    """A whole tree of inodes with its root; also the live file system the
    trace reader keeps in step with the program."""

    def __init__(self, inodes: dict[int, Inode] | None = None, root: int = 0):
        self.inodes = inodes if inodes is not None else {root: Inode(DIR, mode=0o755)}
        self.root = root
        self.next_ino = max(self.inodes) + 1

    def copy(self) -> "Fs":
        fs = Fs({i: n.copy() for i, n in self.inodes.items()}, self.root)
        fs.next_ino = self.next_ino
        return fs

    def new_inode(self, kind: str, mode: int) -> int:
        ino = self.next_ino
        self.next_ino += 1
        self.inodes[ino] = Inode(kind, mode=mode)
        return ino

    def lookup(self, parts: Iterable[bytes]) -> int | None:
        ino = self.root
        for part in parts:
            node = self.inodes[ino]
            if node.kind != DIR or part not in node.entries:
                return None
            ino = node.entries[part]
        return ino

    def apply(self, op: Op, data_filter=None) -> None:
        """Applies `op`; `data_filter` may replace the bytes a write puts down."""
        get = self._inode
        if op.kind in (CREATE, MKDIR, SYMLINK):
            node = get(op.ino, DIR if op.kind == MKDIR else LINK if op.kind == SYMLINK else FILE)
            node.mode = op.mode
            node.target = op.target
            get(op.dir, DIR).entries[op.name] = op.ino
        elif op.kind == LINKOP:
            get(op.dir, DIR).entries[op.name] = op.ino
        elif op.kind in (UNLINK, RMDIR):
            get(op.dir, DIR).entries.pop(op.name, None)
        elif op.kind == RENAME:
            get(op.dir, DIR).entries.pop(op.name, None)
            get(op.dir2, DIR).entries[op.name2] = op.ino
        elif op.kind == WRITE:
            data = op.data if data_filter is None else data_filter(op)
            node = get(op.ino, FILE)
            old = node.data
            if not old and op.offset == 0:
                node.data = data  # the common case keeps the trace's own object
            else:
                pad = bytes(max(0, op.offset - len(old)))
                node.data = old[:op.offset] + pad + data + old[op.offset + len(data):]
        elif op.kind == TRUNCATE:
            node = get(op.ino, FILE)
            old = node.data
            node.data = old[:op.size] + bytes(max(0, op.size - len(old)))

    def _inode(self, ino: int, kind: str) -> Inode:
        if ino not in self.inodes:
            self.inodes[ino] = Inode(kind)
            self.next_ino = max(self.next_ino, ino + 1)
        return self.inodes[ino]

    def snapshot(self) -> "Snapshot":
        """What a reader sees from the root: path -> (kind, bytes, mode)."""
        out: dict[bytes, tuple] = {}

        def walk(ino: int, prefix: bytes, depth: int) -> None:
            for name, child in sorted(self.inodes[ino].entries.items()):
                node = self.inodes[child]
                path = prefix + name
                if node.kind == DIR:
                    out[path] = (DIR, b"", node.mode)
                    if depth < 64:
                        walk(child, path + b"/", depth + 1)
                elif node.kind == LINK:
                    out[path] = (LINK, node.target, 0o777)
                else:
                    out[path] = (FILE, bytes(node.data), node.mode)

        walk(self.root, b"", 0)
        return Snapshot(out)


# Digests of the large byte strings that live as long as their trace (the
# starting files and the bytes written), by identity: states share them.
_STABLE: dict[int, tuple[bytes, bytes]] = {}


def content_digest(data: bytes) -> bytes:
    known = _STABLE.get(id(data))
    if known is not None and known[0] is data:
        return known[1]
    return hashlib.sha256(data).digest()


def remember(data: bytes) -> None:
    if len(data) >= 4096:
        _STABLE[id(data)] = (data, hashlib.sha256(data).digest())


class Snapshot:
    def __init__(self, files: dict[bytes, tuple]):
        self.files = files
        digest = hashlib.sha256()
        for path, (kind, data, mode) in sorted(files.items()):
            digest.update(b"%s\0%s\0%o\0%d\0" % (path, kind.encode(), mode, len(data)))
            digest.update(content_digest(data))
        self.key = digest.hexdigest()

    def get(self, path: str):
        """The bytes of a file, "dir" for a folder, or None when absent."""
        entry = self.files.get(path.encode())
        if entry is None:
            return None
        return entry[1] if entry[0] == FILE else entry[0]


class Trace:
    """The operations of a whole run, from a durable starting file system."""

    def __init__(self, base: Fs, ops: list[Op]):
        self.base = base
        self.ops = ops
        n = len(ops)
        # first_barrier[j]: the index of the first later operation that makes
        # operation j durable (n + 1 when none does).
        self.first_barrier = [n + 1] * n
        for j in range(n - 1, -1, -1):
            op = ops[j]
            if op.kind in ENTRY_OPS or op.kind in DATA_OPS:
                if op.durable_now:
                    self.first_barrier[j] = j
                    continue
                want = op.barrier_inode()
                for k in range(j + 1, n):
                    later = ops[k]
                    if later.kind == SYNC or (later.kind == FSYNC and later.ino == want):
                        self.first_barrier[j] = k
                        break
        for node in base.inodes.values():
            remember(node.data)
        for op in ops:
            remember(op.data)
        self.deps = self._dependencies()

    def _dependencies(self) -> list[set[int]]:
        """For each entry operation, the earlier entry operations it cannot
        have reached the disk without."""
        ops = self.ops
        deps: list[set[int]] = [set() for _ in ops]
        on_entry: dict[tuple[int, bytes], list[int]] = {}
        made_dir: dict[int, int] = {}
        in_dir: dict[int, list[int]] = {}
        for j, op in enumerate(ops):
            if op.kind not in ENTRY_OPS:
                continue
            for key in op.entries():
                # The same entry changes in the order the program changed it;
                # so a kept rename also keeps what put its source in place.
                deps[j].update(on_entry.get(key, []))
                # An entry inside a created folder needs that folder.
                if key[0] in made_dir:
                    deps[j].add(made_dir[key[0]])
            if op.kind == RMDIR:
                # A folder removed was empty: what emptied it came first.
                deps[j].update(in_dir.get(op.ino, []))
            for key in op.entries():
                on_entry.setdefault(key, []).append(j)
                in_dir.setdefault(key[0], []).append(j)
            if op.kind == MKDIR:
                made_dir[op.ino] = j
        return deps

    def crash_points(self) -> list[int]:
        """Indices k (a crash after the first k operations) worth exploring:
        after every operation that changes or flushes something."""
        return [k for k in range(len(self.ops) + 1) if k == 0 or not self.ops[k - 1].with_next]

    def pending(self, k: int) -> list[int]:
        return [j for j in range(k) if self.ops[j].kind in ENTRY_OPS | DATA_OPS
                and self.first_barrier[j] >= k]

    def is_durable(self, j: int, k: int) -> bool:
        return self.first_barrier[j] < k

    def hidden(self, j: int, k: int) -> bool:
        """Whether entry operation j shows in no state after the first k
        operations, whether it reached the disk or not: every folder it
        changed has a removal durable by then, which takes it out of sight."""
        op = self.ops[j]
        if op.kind not in ENTRY_OPS:
            return False
        removed = {self.ops[i].ino for i in range(j + 1, k)
                   if self.ops[i].kind == RMDIR and self.is_durable(i, k)}
        return all(folder in removed for folder, _ in op.entries())

    def entry_choices(self, k: int) -> list[int]:
        return [j for j in self.pending(k) if self.ops[j].kind in ENTRY_OPS]

    def down_sets(self, k: int, limit: int) -> Iterator[frozenset[int]] | None:
        """Every set of pending entry operations that can have reached the
        disk (closed under the dependencies), or None when there are more than
        `limit`."""
        choices = self.entry_choices(k)
        pending = set(choices)
        result: list[frozenset[int]] = []

        def rec(i: int, kept: set[int]) -> bool:
            if len(result) > limit:
                return False
            if i == len(choices):
                result.append(frozenset(kept))
                return True
            j = choices[i]
            if not rec(i + 1, kept):
                return False
            if all(d in kept or d not in pending for d in self.deps[j]):
                kept.add(j)
                ok = rec(i + 1, kept)
                kept.discard(j)
                return ok
            return True

        if not rec(0, set()) or len(result) > limit:
            return None
        return iter(result)

    def sample_down_set(self, k: int, rng: random.Random) -> frozenset[int]:
        choices = self.entry_choices(k)
        pending = set(choices)
        kept: set[int] = set()
        for j in choices:
            if all(d in kept or d not in pending for d in self.deps[j]) and rng.random() < 0.5:
                kept.add(j)
        return frozenset(kept)

    def replay(self, k: int, kept: frozenset[int], variants: dict[int, str]) -> Fs:
        """The file system after a crash following the first k operations,
        with the pending entry operations `kept` on disk and the pending data
        of each file as `variants` says (missing: "none")."""
        fs = self.base.copy()
        budget: dict[int, int] = {}
        for ino, variant in variants.items():
            if variant.startswith("cut"):
                total = sum(len(self.ops[j].data) for j in self.pending(k)
                            if self.ops[j].kind == WRITE and self.ops[j].ino == ino)
                part, whole = (int(n) for n in variant[3:].split("/"))
                blocks = -(-total // BLOCK)
                budget[ino] = (blocks * part // whole) * BLOCK if blocks > 1 else total // 2
        for j in range(k):
            op = self.ops[j]
            if op.kind in ENTRY_OPS:
                if self.is_durable(j, k) or j in kept:
                    fs.apply(op)
            elif op.kind in DATA_OPS:
                if self.is_durable(j, k):
                    fs.apply(op)
                    continue
                variant = variants.get(op.ino, "none")
                if variant == "all":
                    fs.apply(op)
                elif variant == "zeros":
                    fs.apply(op, lambda o: bytes(len(o.data)))
                elif variant.startswith("cut"):
                    left = budget.get(op.ino, 0)
                    if op.kind == TRUNCATE:
                        if left > 0:
                            fs.apply(op)
                        continue
                    if left <= 0:
                        continue
                    take = min(left, len(op.data))
                    budget[op.ino] = left - take
                    fs.apply(dataclasses.replace(op, data=op.data[:take]))
        return fs

    def files_with_pending_data(self, k: int) -> list[int]:
        return sorted({self.ops[j].ino for j in self.pending(k) if self.ops[j].kind in DATA_OPS})

    def states(self, k: int, limit: int, rng: random.Random) -> tuple[list[Snapshot], bool]:
        """The distinct states a crash after the first k operations can leave:
        all of them when there are at most `limit` combinations, else a sample
        of `limit` drawn with `rng`. The flag says whether all were taken."""
        data_files = self.files_with_pending_data(k)
        seen: dict[str, Snapshot] = {}

        def add(kept: frozenset[int], variants: dict[int, str]) -> None:
            snap = self.replay(k, kept, variants).snapshot()
            seen.setdefault(snap.key, snap)

        sets = self.down_sets(k, limit)
        combos = len(DATA_VARIANTS) ** len(data_files)
        if sets is not None:
            sets = list(sets)
            if len(sets) * combos <= limit:
                for kept in sets:
                    for choice in itertools.product(DATA_VARIANTS, repeat=len(data_files)):
                        add(kept, dict(zip(data_files, choice)))
                return list(seen.values()), True
        for _ in range(limit):
            kept = self.sample_down_set(k, rng)
            add(kept, {ino: rng.choice(DATA_VARIANTS) for ino in data_files})
        return list(seen.values()), False

