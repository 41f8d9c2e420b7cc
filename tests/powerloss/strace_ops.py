"""Reads what `strace -f -y -X raw -xx` recorded of one program run into the
operations of crashfs, keeping a live model of the folder in step.

Only the program's own process counts (the first process of the trace):
children it starts, such as a launcher asked for its version, are dropped.
Names given relative to a folder descriptor are resolved through the
descriptor table the reader keeps (opened folders map to their inodes), or the
path strace prints for the descriptor (-y). Calls that failed change nothing
and are skipped. A call that would change the folder in a way the model cannot
follow (an exchange, a copy inside the kernel, ...) stops the reading with an
error rather than giving a wrong model.
"""

from __future__ import annotations

import os
import re

from crashfs import (CREATE, DIR, FILE, FSYNC, LINKOP, MKDIR, RENAME, RMDIR, SYMLINK, SYNC,
                     TRUNCATE, UNLINK, WRITE, Fs, Op)

# The calls to trace (strace -e trace=...): everything that names, writes,
# flushes or hands on a descriptor.
SYSCALLS = (
    "open,openat,openat2,creat,close,close_range,dup,dup2,dup3,fcntl,lseek,"
    "write,pwrite64,writev,pwritev,pwritev2,ftruncate,truncate,fallocate,"
    "fsync,fdatasync,sync,syncfs,sync_file_range,rename,renameat,renameat2,"
    "link,linkat,symlink,symlinkat,unlink,unlinkat,mkdir,mkdirat,rmdir,"
    "chdir,fchdir,copy_file_range,sendfile,splice,execve,clone,clone3,fork,vfork")

AT_FDCWD = -100
O_ACCMODE, O_CREAT, O_EXCL, O_TRUNC, O_APPEND = 0o3, 0o100, 0o200, 0o1000, 0o2000
O_TMPFILE = 0o20200000
AT_REMOVEDIR = 0x200
RENAME_EXCHANGE = 2
F_DUPFD, F_DUPFD_CLOEXEC = 0, 1030


class TraceError(Exception):
    pass


_LINE = re.compile(r"^(\d+)\s+(.*)$")
_CALL = re.compile(r"^(\w+)\((.*)\)\s+=\s+(-?(?:0x)?[0-9a-f]+|\?)(?:<([^>]*)>)?(.*)$", re.S)
_STRING = re.compile(r'^"((?:\\x[0-9a-f]{2})*)"(\.\.\.)?$')
_FD = re.compile(r"^(-?\d+)(?:<(.*)>)?$")


def hex_bytes(text: str) -> bytes:
    """The bytes of a -xx escaped text (every byte as \\xHH)."""
    if "\\x" not in text:
        return text.encode()
    return bytes.fromhex(text.replace("\\x", ""))


def split_args(text: str) -> list[str]:
    out, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "[{(":
            depth += 1
        elif c in "]})":
            depth -= 1
        elif c == "," and depth == 0:
            out.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        out.append(text[start:].strip())
    return out


def string_arg(token: str) -> bytes:
    m = _STRING.match(token)
    if not m:
        raise TraceError(f"not a -xx string: {token[:80]}")
    if m.group(2):
        raise TraceError("a string was cut short: run strace with a larger -s")
    return hex_bytes(m.group(1))


def int_arg(token: str) -> int:
    token = token.split("<", 1)[0].strip()
    if len(token) > 1 and token[0] == "0" and token[1] in "01234567":
        return int(token, 8)  # modes are printed in octal
    return int(token, 0)


def fd_arg(token: str) -> tuple[int, bytes | None]:
    m = _FD.match(token)
    if not m:
        raise TraceError(f"not a descriptor: {token[:80]}")
    return int(m.group(1)), hex_bytes(m.group(2)) if m.group(2) is not None else None


def calls(lines, main_pid: int | None = None):
    """(name, args, return value, returned path) of the main process's
    completed calls, in order. The main process is the first one seen."""
    unfinished: dict[int, str] = {}
    for raw in lines:
        m = _LINE.match(raw.rstrip("\n"))
        if not m:
            continue
        pid, text = int(m.group(1)), m.group(2)
        if main_pid is None:
            main_pid = pid
        if pid != main_pid:
            continue
        if text.startswith("+++") or text.startswith("---"):
            continue
        if text.endswith("<unfinished ...>"):
            unfinished[pid] = text[: -len("<unfinished ...>")].rstrip()
            continue
        if text.startswith("<..."):
            rest = text.split(" resumed>", 1)[1]
            text = unfinished.pop(pid, "") + rest
        c = _CALL.match(text)
        if not c:
            if text.startswith("exit") or "= ?" in text:
                continue
            raise TraceError(f"cannot read: {text[:120]}")
        ret = c.group(3)
        yield (c.group(1), split_args(c.group(2)), None if ret == "?" else int(ret, 0),
               hex_bytes(c.group(4)) if c.group(4) is not None else None)


class _Open:
    """An open file description: shared by duplicated descriptors."""

    def __init__(self, ino: int | None, append: bool):
        self.ino, self.append, self.offset = ino, append, 0


class Reader:
    """Turns calls into operations against the live model `fs`, whose root is
    the folder `root` (an absolute path without links)."""

    def __init__(self, fs: Fs, root: str):
        self.fs = fs
        self.root = os.fsencode(root.rstrip("/"))
        self.fds: dict[int, _Open] = {}
        self.cwd = os.fsencode(os.getcwd())
        self.ops: list[Op] = []
        self.step = 0

    # -- names ---------------------------------------------------------------

    def _inside(self, path: bytes) -> list[bytes] | None:
        path = os.path.normpath(path)
        if path == self.root:
            return []
        if path.startswith(self.root + b"/"):
            return [p for p in path[len(self.root) + 1:].split(b"/") if p]
        return None

    def _where(self, dirfd_token: str | None, path: bytes) -> tuple[int | None, list[bytes]]:
        """(inode the path starts from, remaining components); None when the
        name lies outside the folder."""
        if path.startswith(b"/"):
            parts = self._inside(path)
            return (None, []) if parts is None else (self.fs.root, parts)
        if dirfd_token is None:
            base = self.cwd
        else:
            fd, shown = fd_arg(dirfd_token)
            if fd != AT_FDCWD and fd in self.fds and self.fds[fd].ino is not None:
                parts = [p for p in path.split(b"/") if p and p != b"."]
                if b".." not in parts:
                    return self.fds[fd].ino, parts
            base = shown if shown is not None else self.cwd
        parts = self._inside(os.path.join(base, path))
        return (None, []) if parts is None else (self.fs.root, parts)

    def _walk(self, start: int, parts: list[bytes]) -> int | None:
        ino = start
        for part in parts:
            node = self.fs.inodes[ino]
            if node.kind != DIR:
                raise TraceError(f"{part!r} looked up in a file")
            if part not in node.entries:
                return None
            ino = node.entries[part]
            if self.fs.inodes[ino].kind not in (DIR, FILE):
                raise TraceError(f"a link on the way: {part!r}")
        return ino

    def _parent(self, dirfd_token, path: bytes) -> tuple[int, bytes] | None:
        start, parts = self._where(dirfd_token, path)
        if start is None:
            return None
        if not parts:
            raise TraceError(f"the folder itself changed: {path!r}")
        parent = self._walk(start, parts[:-1])
        if parent is None:
            raise TraceError(f"no parent for {path!r}")
        return parent, parts[-1]

    def _target(self, dirfd_token, path: bytes) -> tuple[bool, int | None]:
        start, parts = self._where(dirfd_token, path)
        if start is None:
            return False, None
        return True, self._walk(start, parts)

    # -- operations ----------------------------------------------------------

    def path_of(self, ino: int) -> str:
        """The name of an inode in the live model, for reports."""
        if ino == self.fs.root:
            return "."
        todo = [(self.fs.root, b"")]
        while todo:
            at, prefix = todo.pop()
            for name, child in self.fs.inodes[at].entries.items():
                if child == ino:
                    return (prefix + name).decode(errors="replace")
                if self.fs.inodes[child].kind == DIR:
                    todo.append((child, prefix + name + b"/"))
        return f"(inode {ino})"

    def _emit(self, op: Op, call: str) -> None:
        op.step = self.step
        if op.kind == RENAME:
            op.paths = (self._name(op.dir, op.name), self._name(op.dir2, op.name2))
            op.where = f"rename {op.paths[0]} -> {op.paths[1]} ({call})"
        elif op.dir >= 0:
            op.paths = (self._name(op.dir, op.name),)
            op.where = f"{op.kind} {op.paths[0]} ({call})"
        elif op.ino >= 0:
            op.paths = (self.path_of(op.ino),)
            op.where = f"{op.kind} {op.paths[0]} ({call})"
        else:
            op.where = call
        if op.kind in (CREATE, MKDIR, SYMLINK, LINKOP, UNLINK, RMDIR, RENAME):
            op.flush = f"an fsync of {self.path_of(op.barrier_inode())}"
        elif op.kind in (WRITE, TRUNCATE):
            op.flush = "an fsync of the file"
        self.fs.apply(op)
        self.ops.append(op)

    def _name(self, folder: int, name: bytes) -> str:
        prefix = self.path_of(folder)
        name_text = name.decode(errors="replace")
        return name_text if prefix == "." else f"{prefix}/{name_text}"

    def _file(self, token: str) -> _Open | None:
        fd, _ = fd_arg(token)
        desc = self.fds.get(fd)
        return desc if desc is not None and desc.ino is not None else None

    def feed(self, lines) -> None:
        for name, args, ret, ret_path in calls(lines):
            if ret is None or ret < 0:
                continue
            handler = getattr(self, "_sys_" + name, None)
            if handler is not None:
                handler(args, ret, ret_path, f"{name}")

    def _open(self, dirfd, path: bytes, flags: int, mode: int, fd: int, where: str) -> None:
        if flags & O_TMPFILE == O_TMPFILE:
            raise TraceError("O_TMPFILE is not modelled")
        inside, ino = self._target(dirfd, path)
        if not inside:
            self.fds[fd] = _Open(None, False)
            return
        if ino is None:
            if not flags & O_CREAT:
                raise TraceError(f"opened a name the model does not have: {path!r}")
            parent, name = self._parent(dirfd, path)
            ino = self.fs.new_inode(FILE, mode & 0o755)
            self._emit(Op(CREATE, dir=parent, name=name, ino=ino, mode=mode & 0o755), where)
        elif (flags & O_TRUNC and flags & O_ACCMODE and self.fs.inodes[ino].kind == FILE
              and self.fs.inodes[ino].data):
            self._emit(Op(TRUNCATE, ino=ino, size=0), where)
        self.fds[fd] = _Open(ino, bool(flags & O_APPEND))

    def _sys_open(self, a, ret, _, w):
        self._open(None, string_arg(a[0]), int_arg(a[1]), int_arg(a[2]) if len(a) > 2 else 0,
                   ret, w)

    def _sys_openat(self, a, ret, _, w):
        self._open(a[0], string_arg(a[1]), int_arg(a[2]), int_arg(a[3]) if len(a) > 3 else 0,
                   ret, w)

    def _sys_creat(self, a, ret, _, w):
        self._open(None, string_arg(a[0]), O_CREAT | O_TRUNC | 1, int_arg(a[1]), ret, w)

    def _sys_openat2(self, a, ret, _, w):
        how = dict(kv.split("=", 1) for kv in split_args(a[2].strip("{}")))
        self._open(a[0], string_arg(a[1]), int(how.get("flags", "0"), 0),
                   int(how.get("mode", "0"), 0), ret, w)

    def _sys_close(self, a, ret, _, w):
        self.fds.pop(fd_arg(a[0])[0], None)

    def _sys_close_range(self, a, ret, _, w):
        low, high = int_arg(a[0]), int_arg(a[1])
        for fd in [fd for fd in self.fds if low <= fd <= high]:
            del self.fds[fd]

    def _dup(self, old: str, new: int) -> None:
        desc = self.fds.get(fd_arg(old)[0])
        if desc is not None:
            self.fds[new] = desc
        else:
            self.fds.pop(new, None)

    def _sys_dup(self, a, ret, _, w):
        self._dup(a[0], ret)

    _sys_dup2 = _sys_dup3 = _sys_dup

    def _sys_fcntl(self, a, ret, _, w):
        if int_arg(a[1]) in (F_DUPFD, F_DUPFD_CLOEXEC):
            self._dup(a[0], ret)

    def _sys_lseek(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            desc.offset = ret

    def _write(self, desc: _Open, data: bytes, offset: int | None, w: str) -> None:
        if self.fs.inodes[desc.ino].kind != FILE:
            return
        at = offset
        if at is None:
            at = len(self.fs.inodes[desc.ino].data) if desc.append else desc.offset
            desc.offset = at + len(data)
        self._emit(Op(WRITE, ino=desc.ino, offset=at, data=data), w)

    def _sys_write(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            self._write(desc, string_arg(a[1])[:ret], None, w)

    def _sys_pwrite64(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            self._write(desc, string_arg(a[1])[:ret], int_arg(a[3]), w)

    def _iov(self, token: str) -> bytes:
        return b"".join(string_arg(m.group(1)) for m in
                        re.finditer(r'iov_base=("(?:\\x[0-9a-f]{2})*"(?:\.\.\.)?)', token))

    def _sys_writev(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            self._write(desc, self._iov(a[1])[:ret], None, w)

    def _sys_pwritev(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            self._write(desc, self._iov(a[1])[:ret], int_arg(a[3]), w)

    _sys_pwritev2 = _sys_pwritev

    def _sys_ftruncate(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            self._emit(Op(TRUNCATE, ino=desc.ino, size=int_arg(a[1])), w)

    def _sys_truncate(self, a, ret, _, w):
        inside, ino = self._target(None, string_arg(a[0]))
        if inside and ino is not None:
            self._emit(Op(TRUNCATE, ino=ino, size=int_arg(a[1])), w)

    def _sys_fallocate(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is None:
            return
        end = int_arg(a[2]) + int_arg(a[3])
        if int_arg(a[1]) != 0:
            raise TraceError("fallocate with a mode is not modelled")
        if end > len(self.fs.inodes[desc.ino].data):
            self._emit(Op(TRUNCATE, ino=desc.ino, size=end), w)

    def _sys_fsync(self, a, ret, _, w):
        desc = self._file(a[0])
        if desc is not None:
            self._emit(Op(FSYNC, ino=desc.ino), w)

    _sys_fdatasync = _sys_fsync

    def _sys_sync(self, a, ret, _, w):
        self._emit(Op(SYNC), w)

    _sys_syncfs = _sys_sync

    def _rename(self, d1, p1: bytes, d2, p2: bytes, flags: int, w: str) -> None:
        source, target = self._parent(d1, p1), self._parent(d2, p2)
        if source is None and target is None:
            return
        if source is None or target is None:
            raise TraceError("a rename across the folder's edge is not modelled")
        if flags & RENAME_EXCHANGE:
            raise TraceError("RENAME_EXCHANGE is not modelled")
        ino = self.fs.inodes[source[0]].entries.get(source[1])
        if ino is None:
            raise TraceError(f"renamed a name the model does not have: {p1!r}")
        if source == target:
            return
        self._emit(Op(RENAME, dir=source[0], name=source[1], ino=ino, dir2=target[0],
                      name2=target[1]), w)

    def _sys_rename(self, a, ret, _, w):
        self._rename(None, string_arg(a[0]), None, string_arg(a[1]), 0, w)

    def _sys_renameat(self, a, ret, _, w):
        self._rename(a[0], string_arg(a[1]), a[2], string_arg(a[3]), 0, w)

    def _sys_renameat2(self, a, ret, _, w):
        self._rename(a[0], string_arg(a[1]), a[2], string_arg(a[3]), int_arg(a[4]), w)

    def _remove(self, dirfd, path: bytes, folder: bool, w: str) -> None:
        where = self._parent(dirfd, path)
        if where is None:
            return
        ino = self.fs.inodes[where[0]].entries.get(where[1])
        if ino is None:
            raise TraceError(f"removed a name the model does not have: {path!r}")
        self._emit(Op(RMDIR if folder else UNLINK, dir=where[0], name=where[1], ino=ino), w)

    def _sys_unlink(self, a, ret, _, w):
        self._remove(None, string_arg(a[0]), False, w)

    def _sys_unlinkat(self, a, ret, _, w):
        self._remove(a[0], string_arg(a[1]), bool(int_arg(a[2]) & AT_REMOVEDIR), w)

    def _sys_rmdir(self, a, ret, _, w):
        self._remove(None, string_arg(a[0]), True, w)

    def _mkdir(self, dirfd, path: bytes, mode: int, w: str) -> None:
        where = self._parent(dirfd, path)
        if where is None:
            return
        ino = self.fs.new_inode(DIR, mode & 0o755)
        self._emit(Op(MKDIR, dir=where[0], name=where[1], ino=ino, mode=mode & 0o755), w)

    def _sys_mkdir(self, a, ret, _, w):
        self._mkdir(None, string_arg(a[0]), int_arg(a[1]), w)

    def _sys_mkdirat(self, a, ret, _, w):
        self._mkdir(a[0], string_arg(a[1]), int_arg(a[2]), w)

    def _link(self, d1, p1, d2, p2, w):
        source, target = self._target(d1, p1), self._parent(d2, p2)
        if not source[0] and target is None:
            return
        if not source[0] or target is None or source[1] is None:
            raise TraceError("a link across the folder's edge is not modelled")
        self._emit(Op(LINKOP, dir=target[0], name=target[1], ino=source[1]), w)

    def _sys_link(self, a, ret, _, w):
        self._link(None, string_arg(a[0]), None, string_arg(a[1]), w)

    def _sys_linkat(self, a, ret, _, w):
        self._link(a[0], string_arg(a[1]), a[2], string_arg(a[3]), w)

    def _symlink(self, target: bytes, dirfd, path: bytes, w: str) -> None:
        where = self._parent(dirfd, path)
        if where is not None:
            ino = self.fs.new_inode("link", 0o777)
            self._emit(Op(SYMLINK, dir=where[0], name=where[1], ino=ino, target=target), w)

    def _sys_symlink(self, a, ret, _, w):
        self._symlink(string_arg(a[0]), None, string_arg(a[1]), w)

    def _sys_symlinkat(self, a, ret, _, w):
        self._symlink(string_arg(a[0]), a[1], string_arg(a[2]), w)

    def _sys_chdir(self, a, ret, _, w):
        self.cwd = os.path.normpath(os.path.join(self.cwd, string_arg(a[0])))

    def _sys_fchdir(self, a, ret, _, w):
        shown = fd_arg(a[0])[1]
        if shown is not None:
            self.cwd = shown

    def _unsupported(self, a, ret, _, w):
        if any(self._file(t) is not None for t in a[:3] if _FD.match(t)):
            raise TraceError(f"{w} into the folder is not modelled")

    _sys_copy_file_range = _sys_sendfile = _sys_splice = _unsupported
