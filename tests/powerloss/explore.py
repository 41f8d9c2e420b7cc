"""The crash-state explorer: runs whole updates and an uninstall of the Linux
build under strace, builds every state a power cut may leave (crashfs), and
checks each one (README.md says what and why).

    python3 tests/powerloss/explore.py [--states N] [--seed S] [--quick] [--jobs J]
                                       [--build DIR] [--report FILE]

Exit status 0 when no state breaks a check, 1 when one does, 2 when the
exploration itself could not run.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from crashfs import (CREATE, DIR, FILE, TRUNCATE, WRITE, Fs, Op,  # noqa: E402
                     Snapshot, Trace)
from strace_ops import SYSCALLS, Reader, TraceError  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DURABILITY = os.path.join(REPO, "docs", "durability.md")

LEASE, PAIR = ".qrl-update.json", ".qrl-pair.json"
CURRENT, PREVIOUS = "mcp/current.json", "mcp/previous.json"
LAUNCHER, APP, SERVER = "qrl-mcp.exe", "quarlo.exe", "qrl-mcp-server.exe"


# ---------------------------------------------------------------------------
# Records, as the program reads them

class Undecodable(Exception):
    pass


def _object(data: bytes) -> dict:
    def pairs(items):
        seen = {}
        for key, value in items:
            if key in seen:
                raise Undecodable(f"duplicate field `{key}`")
            seen[key] = value
        return seen

    try:
        value = json.loads(data.decode("utf-8"), object_pairs_hook=pairs)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise Undecodable(str(error)) from None
    if not isinstance(value, dict):
        raise Undecodable("not an object")
    return value


def _fields(value: dict, names: list[str]) -> None:
    for name in names:
        if name not in value:
            raise Undecodable(f"missing field `{name}`")
        if not isinstance(value[name], str):
            raise Undecodable(f"`{name}` is not a string")


def decode_bundle(data: bytes) -> dict:
    value = _object(data) if isinstance(data, bytes) else data
    _fields(value, ["version", "serverSha256", "appSha256", "launcherSha256"])
    return value


def decode_pair(data: bytes) -> dict:
    value = _object(data)
    _fields(value, ["app", "mcp"])
    if value.get("server") is not None:
        if not isinstance(value["server"], dict):
            raise Undecodable("`server` is not an object")
        decode_bundle(value["server"])
    return value


def decode_lease(data: bytes) -> dict:
    value = _object(data)
    for name, bits in (("owner", 32), ("started", 64)):
        number = value.get(name)
        if name not in value:
            raise Undecodable(f"missing field `{name}`")
        if isinstance(number, bool) or not isinstance(number, int) or not 0 <= number < 2**bits:
            raise Undecodable(f"`{name}` is not an unsigned {bits}-bit integer")
    return value


DECODERS = {LEASE: decode_lease, PAIR: decode_pair, CURRENT: decode_bundle,
            PREVIOUS: decode_bundle}


# ---------------------------------------------------------------------------
# Packages and scenarios

def trailer(values: dict[str, bytes]) -> bytes:
    """The configuration the fixture program reads from its own end."""
    lines = b"".join(key.encode() + b"=" + value.hex().encode() + b"\n"
                     for key, value in sorted(values.items()))
    return (b"\nQRL-FIXTURE-CONFIG\n" + lines + b"%016d" % len(lines) + b"\nQRL-FIXTURE-END\n")


def launcher_bytes(fixture: bytes, version: str) -> bytes:
    values = {"tag": version.encode()}
    for question, out in (("update-protocol", b"1\n"),
                          ("launcher-version", b"qrl-mcp-launcher " + version.encode() + b"\n")):
        values.update({f"{question}.out": out, f"{question}.exit": b"0",
                       f"{question}.stderr": b"0", f"{question}.fill": b"0",
                       f"{question}.hang": b"0", f"{question}.mark": b""})
    return fixture + trailer(values)


def payload(tag: str, size: int) -> bytes:
    rng = random.Random(tag)
    return tag.encode() + b"\n" + rng.randbytes(size)


@dataclasses.dataclass
class Step:
    name: str                      # command word, or "installer" for the copy
    args: list[str] = dataclasses.field(default_factory=list)
    copies: dict[str, bytes] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Scenario:
    name: str
    history: list[list[Step]]      # earlier updates that make the starting folder
    steps: list[Step]              # the steps traced
    uninstall: bool = False
    # Where the installation folder lies inside the folder that is modelled
    # ("" for that folder itself); what is missing of it before the first step
    # is created by the program.
    install_at: str = ""

    def retry(self) -> list[Step]:
        """What the installer does again after a power cut."""
        return self.steps

    def installation_in(self, modelled: str) -> str:
        return os.path.join(modelled, self.install_at) if self.install_at else modelled


class Packages:
    def __init__(self, work: str, fixture: bytes):
        self.work = work
        self.fixture = fixture
        self.files: dict[str, bytes] = {}

    def put(self, folder: str, name: str, data: bytes, executable=False) -> str:
        path = os.path.join(self.work, folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        if executable:
            os.chmod(path, 0o755)
        self.files[path] = data
        return path

    def launcher_update(self, version: str, launcher: str) -> list[Step]:
        folder = f"pkg-{version}"
        app = self.put(folder, APP, payload("app " + version, 3000))
        server = self.put(folder, SERVER, payload("server " + version, 96 << 10), True)
        exe = self.put(folder, LAUNCHER, launcher_bytes(self.fixture, launcher), True)
        package = ["--app", app, "--mcp", server, "--launcher", exe, "--version", version]
        return [Step("prepare", ["--launcher", exe]),
                Step("install-payload", ["--mcp", server, "--launcher", exe, "--version", version]),
                Step("stage", package),
                Step("installer", copies={APP: self.files[app]}),
                Step("verify", package)]

    def plain_update(self, tag: str) -> list[Step]:
        folder = f"pkg-plain-{tag}"
        app = self.put(folder, APP, payload("plain app " + tag, 3000))
        mcp = self.put(folder, LAUNCHER, payload("plain mcp " + tag, 48 << 10), True)
        package = ["--app", app, "--mcp", mcp]
        return [Step("prepare"), Step("stage", package),
                Step("installer", copies={APP: self.files[app], LAUNCHER: self.files[mcp]}),
                Step("verify", package)]


def scenarios(packages: Packages) -> list[Scenario]:
    old, mid = packages.launcher_update("0.9.0", "1"), packages.launcher_update("1.0.0", "1")
    new = packages.launcher_update("2.0.0", "2")
    same_launcher = packages.launcher_update("1.1.0", "1")
    plain1, plain2 = packages.plain_update("1"), packages.plain_update("2")
    uninstall = [Step("prepare"), Step("uninstall-payloads")]
    # Versions an installation gathered while their servers were in use at
    # each pruning.
    gathered = [Step("installer", copies={
        f"mcp/0.{n}.0/{SERVER}": payload(f"server 0.{n}.0", 8 << 10) for n in range(3, 9)})]
    return [
        # An update from 1.0.0 (0.9.0 before it) to 2.0.0 with a new launcher:
        # 1.0.0 becomes previous and 0.9.0 is pruned.
        Scenario("update", [old, mid], new),
        # The same with a launcher that stays: only the server is written.
        Scenario("same-launcher", [old, mid], same_launcher),
        # The same version installed again over itself.
        Scenario("reinstall", [mid, new], new),
        # An update that prunes six gathered versions.
        Scenario("update-prunes-6", [mid, gathered], new),
        # The first installation into an empty folder, and into one that does
        # not exist yet, nor the folder above it.
        Scenario("fresh", [], mid),
        Scenario("fresh-no-folder", [], mid, install_at="above/inst"),
        # The plain form over an earlier plain installation, and into an
        # empty folder.
        Scenario("plain", [plain1], plain2),
        Scenario("plain-fresh", [], plain2),
        # Removing the payloads of an installation with two versions, and of
        # one whose folders also hold files of others.
        Scenario("uninstall", [mid, new], uninstall, uninstall=True),
        Scenario("uninstall-8", [mid, new, gathered], uninstall, uninstall=True),
        Scenario("uninstall-extra", [mid, new, [Step("installer", copies={
            "mcp/1.0.0/server.log": b"a log the server wrote\n",
            "mcp/tools/readme.txt": b"not a version\n"})]], uninstall, uninstall=True),
    ]


# ---------------------------------------------------------------------------
# Running the program

class Runner:
    def __init__(self, build: str, work: str):
        self.program = os.path.join(build, "qrl_update")
        self.fixture = os.path.join(build, "qrl_fixture")
        self.work = work
        self.owners: list[subprocess.Popen] = []

    def start_owner(self) -> subprocess.Popen:
        ready = tempfile.mktemp(prefix="owner-", dir=self.work)
        owner = subprocess.Popen([self.fixture, "--stay", ready])
        self.owners.append(owner)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready):
            if owner.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the owner process did not start")
            time.sleep(0.005)
        return owner

    def end_owner(self, owner: subprocess.Popen) -> None:
        owner.kill()
        owner.wait()
        self.owners.remove(owner)

    def end_all(self) -> None:
        for owner in list(self.owners):
            self.end_owner(owner)

    def command(self, step: Step, inst: str, owner: int) -> list[str]:
        return [self.program, step.name, "--install-dir", inst, "--owner", str(owner), *step.args]

    def run(self, step: Step, inst: str, owner: int, strace_to: str | None = None):
        """Runs one step (the installer's copy in-process); returns the exit
        status and standard error."""
        if step.name == "installer":
            for name, data in step.copies.items():
                os.makedirs(os.path.dirname(os.path.join(inst, name)), exist_ok=True)
                with open(os.path.join(inst, name), "wb") as out:
                    out.write(data)
                os.chmod(os.path.join(inst, name), 0o755)
            return 0, ""
        argv = self.command(step, inst, owner)
        if strace_to:
            argv = ["strace", "-f", "-y", "-X", "raw", "-xx", "-s", str(2 << 20), "-qq",
                    "-e", "trace=" + SYSCALLS, "-o", strace_to, *argv]
        done = subprocess.run(argv, cwd=self.work, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=300)
        return done.returncode, done.stderr.decode(errors="replace").strip()


def disk_fs(root: str) -> Fs:
    """The folder on disk as a model file system."""
    fs = Fs()

    def add(path: str, ino: int) -> None:
        for entry in sorted(os.scandir(path), key=lambda e: e.name):
            st = entry.stat(follow_symlinks=False)
            if entry.is_symlink():
                child = fs.new_inode("link", 0o777)
                fs.inodes[child].target = os.fsencode(os.readlink(entry.path))
            elif entry.is_dir(follow_symlinks=False):
                child = fs.new_inode(DIR, st.st_mode & 0o755)
                add(entry.path, child)
            else:
                child = fs.new_inode(FILE, st.st_mode & 0o755)
                with open(entry.path, "rb") as f:
                    fs.inodes[child].data = f.read()
            fs.inodes[ino].entries[os.fsencode(entry.name)] = child

    add(root, fs.root)
    return fs


def materialize(snapshot: Snapshot, root: str) -> None:
    os.makedirs(root)
    for path, (kind, data, mode) in sorted(snapshot.files.items()):
        full = os.path.join(root, os.fsdecode(path))
        if kind == DIR:
            os.mkdir(full, mode | 0o700)
        elif kind == FILE:
            fd = os.open(full, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode | 0o600)
            with os.fdopen(fd, "wb") as out:
                out.write(data)
        else:
            os.symlink(os.fsdecode(data), full)


@dataclasses.dataclass
class Recorded:
    scenario: Scenario
    trace: Trace
    boundaries: list[Snapshot]     # before the first step, after each step
    step_end: list[int]            # operations issued once each step ended
    statuses: list[int]

    def __post_init__(self):
        self.inst_boundaries = [self.installation(b) for b in self.boundaries]

    def installation(self, state: Snapshot) -> Snapshot:
        """What a state holds inside the installation folder, named from it."""
        if not self.scenario.install_at:
            return state
        prefix = self.scenario.install_at.encode() + b"/"
        return Snapshot({p[len(prefix):]: v for p, v in state.files.items()
                         if p.startswith(prefix)})


def record(scenario: Scenario, runner: Runner) -> Recorded:
    """Builds the starting folder (its history unrecorded and flushed), then
    runs the steps under strace and reads them into one trace."""
    root = os.path.join(runner.work, "record-" + scenario.name, "inst")
    os.makedirs(root)
    inst = scenario.installation_in(root)
    owner = runner.start_owner()
    for update in scenario.history:
        for step in update:
            status, err = runner.run(step, inst, owner.pid)
            if status != 0:
                raise RuntimeError(f"{scenario.name}: setting up, {step.name} failed: {err}")
    runner.end_owner(owner)
    os.sync()

    base = disk_fs(root)
    reader = Reader(base.copy(), root)
    owner = runner.start_owner()
    boundaries, ends, statuses = [reader.fs.snapshot()], [], []
    for index, step in enumerate(scenario.steps):
        reader.step = index
        log = os.path.join(runner.work, f"strace-{scenario.name}-{index}-{step.name}.txt")
        status, err = runner.run(step, inst, owner.pid, None if step.name == "installer" else log)
        if status != 0:
            raise RuntimeError(f"{scenario.name}: {step.name} failed ({status}): {err}")
        if step.name == "installer":
            for name, data in step.copies.items():
                parts = [p.encode() for p in os.path.join(scenario.install_at, name).split("/")
                         if p]
                ino = reader.fs.lookup(parts)
                if ino is None:
                    ino = reader.fs.new_inode(FILE, 0o755)
                    reader._emit(Op(CREATE, dir=reader.fs.lookup(parts[:-1]), name=parts[-1],
                                    ino=ino, mode=0o755, durable_now=True, with_next=True),
                                 "installer copies")
                else:
                    reader._emit(Op(TRUNCATE, ino=ino, size=0, durable_now=True,
                                    with_next=True), "installer copies")
                reader._emit(Op(WRITE, ino=ino, data=data, durable_now=True), "installer copies")
        else:
            with open(log, encoding="ascii", errors="replace") as lines:
                reader.feed(lines)
            os.remove(log)
        statuses.append(status)
        ends.append(len(reader.ops))
        boundaries.append(reader.fs.snapshot())
        on_disk = disk_fs(root).snapshot()
        if on_disk.key != boundaries[-1].key:
            differ = sorted(p.decode() for p in set(on_disk.files) | set(boundaries[-1].files)
                            if on_disk.files.get(p) != boundaries[-1].files.get(p))
            raise TraceError(f"{scenario.name}: after {step.name} the model differs from the "
                             f"folder on disk at {differ}")
    runner.end_owner(owner)
    return Recorded(scenario, Trace(base, reader.ops), boundaries, ends, statuses)


# ---------------------------------------------------------------------------
# Checks

def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def executables(snapshot: Snapshot) -> dict[str, bytes | str | None]:
    out = {}
    for path in snapshot.files:
        text = path.decode(errors="replace")
        parts = text.split("/")
        server = len(parts) == 3 and parts[0] == "mcp" and parts[2] == SERVER
        if text in (LAUNCHER, APP) or server:
            out[text] = snapshot.get(text)
    return out


def check_state(rec: Recorded, state: Snapshot) -> list[str]:
    """What is wrong with a state itself (before any retry)."""
    problems = []
    state = rec.installation(state)
    for path, decode in DECODERS.items():
        data = state.get(path)
        if data is None:
            continue
        if not isinstance(data, bytes):
            problems.append(f"{path} is a folder")
            continue
        try:
            decode(data)
        except Undecodable as error:
            problems.append(f"{path} does not decode ({error}): {data[:60]!r}")
    if not rec.scenario.uninstall:
        for path in (CURRENT, PREVIOUS):
            data = state.get(path)
            try:
                bundle = decode_bundle(data) if isinstance(data, bytes) else None
            except Undecodable:
                bundle = None
            if bundle is None:
                continue
            server = state.get(f"mcp/{bundle['version']}/{SERVER}")
            if not isinstance(server, bytes):
                problems.append(f"{path} names {bundle['version']}, whose server is missing")
            elif sha256(server) != bundle["serverSha256"]:
                problems.append(
                    f"{path} names {bundle['version']}, whose server has another digest")
    boundaries = rec.inst_boundaries
    paths = set(executables(state)).union(*(executables(b) for b in boundaries))
    allowed = {path: {_digest_of(b.get(path)) for b in boundaries} for path in paths}
    for path, value in executables(state).items():
        if _digest_of(value) not in allowed[path]:
            problems.append(f"{path} is neither its old nor its new bytes "
                            f"({len(value) if isinstance(value, bytes) else value})")
    for path in allowed:
        if path not in executables(state) and None not in allowed[path]:
            problems.append(f"{path} is missing, though every step left it in place")
    return problems


def _digest_of(value) -> str | None:
    return sha256(value) if isinstance(value, bytes) else value


def compare_final(rec: Recorded, final: Snapshot) -> tuple[list[str], list[str]]:
    """Differences between the folder a retry left and the folder the
    uninterrupted run left: (violations, notes)."""
    expected = rec.boundaries[-1]
    problems, notes = [], []
    pruned = {p for p in rec.boundaries[0].files if p not in expected.files}
    for path in sorted(set(expected.files) | set(final.files)):
        want, got = expected.files.get(path), final.files.get(path)
        if want == got:
            continue
        text = path.decode(errors="replace")
        if text == LEASE and rec.scenario.uninstall and got is not None:
            try:
                decode_lease(got[1])
                continue
            except Undecodable:
                pass
        if want is None and got is not None and got[0] == DIR and path in pruned and not any(
                p.startswith(path + b"/") for p in final.files):
            notes.append(f"empty folder {text} left by an interrupted pruning")
            continue
        def describe(v):
            return "absent" if v is None else v[0] if v[0] == DIR else f"{len(v[1])} bytes"
        problems.append(f"after the retry {text} is {describe(got)}, "
                        f"an uninterrupted run leaves {describe(want)}")
    return problems, notes


def retry(rec: Recorded, state: Snapshot, runner: Runner, owner: int, root: str):
    """Runs the installer's retry from `state`: (violations, notes)."""
    modelled = os.path.join(root, "inst")
    materialize(state, modelled)
    try:
        for step in rec.scenario.retry():
            status, err = runner.run(step, rec.scenario.installation_in(modelled), owner)
            if status != 0:
                return [f"the retry's {step.name} failed ({status}): {err}"], []
        return compare_final(rec, disk_fs(modelled).snapshot())
    finally:
        shutil.rmtree(root, ignore_errors=True)


# ---------------------------------------------------------------------------
# What docs/durability.md promises

# The column of its table that names, for each step, what a crash right after
# the step returned 0 may still take back of the step's own changes: names in
# the installation folder in backticks, or "none".
PROMISE_COLUMN = "Its own changes a crash can take back"
_STEP_CELL = re.compile(r"^`([a-z-]+)`(?: \((launcher|plain) form\))?$")


def _cells(line: str) -> list[str] | None:
    line = line.strip()
    return [c.strip() for c in line.strip("|").split("|")] if line.startswith("|") else None


def read_promises(text: str) -> dict[tuple[str, str | None], set[str]]:
    """The promises of the table of docs/durability.md: (step, form or None
    for both forms) -> the names it may leave not durable."""
    lines = text.splitlines()
    for at, line in enumerate(lines):
        cells = _cells(line)
        if cells and cells[0] == "Step" and PROMISE_COLUMN in cells:
            column = cells.index(PROMISE_COLUMN)
            break
    else:
        raise RuntimeError(f"docs/durability.md: no table with the column \"{PROMISE_COLUMN}\"")
    promises = {}
    for line in lines[at + 2:]:
        cells = _cells(line)
        if cells is None:
            break
        step = _STEP_CELL.match(cells[0])
        names = re.findall(r"`([^`]+)`", cells[column]) if column < len(cells) else []
        if not step or (not names and cells[column] != "none"):
            raise RuntimeError(f"docs/durability.md: cannot read the row {line.strip()!r}")
        promises[(step.group(1), step.group(2))] = set(names)
    return promises


def broken_promises(trace: Trace, steps: list[Step], step_end: list[int], install_at: str,
                    promises: dict) -> list[tuple[Step, Op | None, set[str] | None]]:
    """What a crash right after a step that returned 0 can take back of the
    step's own changes beyond the names the document lists for the step
    (changes left by earlier steps are theirs): (step, operation, names
    listed), or (step, None, None) when no row is the step's."""
    def named(path: str) -> str:
        """The name from the installation folder ("." for the folder itself);
        a name outside it stays as it is, and no row lists it."""
        if not install_at:
            return path
        if path == install_at:
            return "."
        return path[len(install_at) + 1:] if path.startswith(install_at + "/") else path

    problems = []
    for index, step in enumerate(steps):
        if step.name == "installer":
            continue
        form = "launcher" if "--launcher" in step.args else "plain"
        allowed = promises.get((step.name, form), promises.get((step.name, None)))
        if allowed is None:
            problems.append((step, None, None))
            continue
        k = step_end[index]
        for j in trace.pending(k):
            op = trace.ops[j]
            beyond = {named(p) for p in op.paths} - allowed
            if op.step == index and beyond and not trace.hidden(j, k):
                problems.append((step, op, allowed))
    return problems


# ---------------------------------------------------------------------------
# Exploration

@dataclasses.dataclass
class Found:
    state: Snapshot
    points: list[int]              # crash points that can leave it
    problems: list[str] = dataclasses.field(default_factory=list)
    notes: list[str] = dataclasses.field(default_factory=list)
    retried: bool = False


def step_of_point(rec: Recorded, k: int) -> int:
    """The step a crash after the first k operations interrupts (or, at a
    step's end, the step just finished)."""
    for index, end in enumerate(rec.step_end):
        if k <= end:
            return index
    return len(rec.step_end) - 1


def explore(rec: Recorded, per_point: int, rng: random.Random):
    found: dict[str, Found] = {}
    pairs = [0] * len(rec.scenario.steps)
    complete = True
    for k in rec.trace.crash_points():
        states, whole = rec.trace.states(k, per_point, rng)
        complete = complete and whole
        pairs[step_of_point(rec, k)] += len(states)
        for state in states:
            entry = found.setdefault(state.key, Found(state, []))
            entry.points.append(k)
    return found, pairs, complete


def durability(rec: Recorded, per_point: int, rng: random.Random) -> list[str]:
    """For each step that returned 0: what a crash right after it can still
    lose, as pending operations and as what a reader can then see."""
    lines = []
    names = [s.name for s in rec.scenario.steps]
    for index, step in enumerate(rec.scenario.steps):
        if step.name == "installer":
            continue
        k = rec.step_end[index]
        after = rec.boundaries[index + 1]
        pending = [rec.trace.ops[j] for j in rec.trace.pending(k)]
        states, whole = rec.trace.states(k, per_point, rng)
        lines.append(f"- `{step.name}` ({rec.scenario.name}):")
        if not pending:
            lines.append("  nothing: every change is durable when it returns")
            continue
        for op in pending:
            origin = "" if op.step == index else f" (left by `{names[op.step]}`)"
            lines.append(f"  - not yet durable: {op.where}{origin}, wants {op.flush}")
        seen: dict[str, set[str]] = {}
        for state in states:
            for path in sorted(set(after.files) | set(state.files)):
                if after.files.get(path) != state.files.get(path):
                    seen.setdefault(path.decode(errors="replace"), set()).add(
                        _label(rec, path, state.files.get(path), index))
        for path, labels in sorted(seen.items()):
            lines.append(f"  - `{path}` can read back as: {', '.join(sorted(labels))}")
        if not whole:
            lines.append("  (from a sample of the states)")
    return lines


def _label(rec: Recorded, path: bytes, value, index: int) -> str:
    if value is None:
        return "absent"
    for earlier in range(index, -1, -1):
        if rec.boundaries[earlier].files.get(path) == value:
            return f"as before `{rec.scenario.steps[earlier].name}`" if earlier < len(
                rec.scenario.steps) else "as it was"
    return "other bytes" if value[0] == FILE else value[0]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--states", type=int, default=None,
                        help="states to retry at most (default: all)")
    parser.add_argument("--per-point", type=int, default=4096,
                        help="states per crash point before sampling (default 4096)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--quick", action="store_true",
                        help="a bounded sample: 64 states a crash point, 40 retried")
    parser.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1))
    parser.add_argument("--build", default=os.path.join(REPO, "build", "linux"))
    parser.add_argument("--report", help="also write the report to this file")
    parser.add_argument("--only", action="append", help="run only these scenarios")
    args = parser.parse_args(argv)
    if args.quick:
        args.states = 40 if args.states is None else args.states
        args.per_point = min(args.per_point, 64)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    rng = random.Random(seed)
    started = time.monotonic()

    scratch = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    work = tempfile.mkdtemp(prefix="qrl-powerloss-", dir=scratch)
    runner = Runner(os.path.abspath(args.build), work)
    out: list[str] = []

    def say(line=""):
        print(line, flush=True)
        out.append(line)

    failed = False
    try:
        with open(runner.fixture, "rb") as f:
            packages = Packages(work, f.read())
        chosen = [s for s in scenarios(packages) if not args.only or s.name in args.only]
        with open(DURABILITY, encoding="utf-8") as doc:
            promises = read_promises(doc.read())
        say(f"seed {seed}")
        recorded = [record(s, runner) for s in chosen]
        phases = [time.monotonic()]
        explored = []
        for rec in recorded:
            found, pairs, complete = explore(rec, args.per_point, rng)
            for entry in found.values():
                entry.problems = check_state(rec, entry.state)
            explored.append((rec, found, pairs, complete))
        phases.append(time.monotonic())
        to_retry = _choose(explored, args.states, rng)
        owner = runner.start_owner()
        jobs = []
        pool = concurrent.futures.ThreadPoolExecutor(max(1, args.jobs))
        try:
            for n, (rec, entry) in enumerate(to_retry):
                root = os.path.join(work, f"state-{n}")
                jobs.append((entry, pool.submit(retry, rec, entry.state, runner, owner.pid, root)))
            for entry, job in jobs:
                problems, notes = job.result()
                entry.problems += problems
                entry.notes += notes
                entry.retried = True
        finally:
            # Interrupted: the retries not started yet are dropped.
            pool.shutdown(wait=True, cancel_futures=True)
        runner.end_owner(owner)
        phases.append(time.monotonic())

        say(f"{'scenario':16} {'step':18} {'points':>6} {'states':>8} {'distinct':>9} "
            f"{'retried':>8} {'violating':>9}")
        totals = [0, 0, 0, 0]
        for rec, found, pairs, complete in explored:
            for index, step in enumerate(rec.scenario.steps):
                points = [k for k in rec.trace.crash_points() if step_of_point(rec, k) == index]
                mine = [e for e in found.values() if any(step_of_point(rec, k) == index
                                                         for k in e.points)]
                retried = sum(e.retried for e in mine)
                bad = sum(bool(e.problems) for e in mine)
                say(f"{rec.scenario.name:16} {step.name:18} {len(points):6} {pairs[index]:8} "
                    f"{len(mine):9} {retried:8} {bad:9}")
            totals[0] += sum(pairs)
            totals[1] += len(found)
            totals[2] += sum(e.retried for e in found.values())
            totals[3] += sum(bool(e.problems) for e in found.values())
            if not complete:
                say(f"{rec.scenario.name}: some crash points were sampled (--per-point)")
        say(f"{'all (distinct)':41} {totals[0]:8} {totals[1]:9} {totals[2]:8} {totals[3]:9}")
        say()
        for rec, found, _, _ in explored:
            bad = [e for e in found.values() if e.problems]
            for entry in sorted(bad, key=lambda e: min(e.points))[:20]:
                k = min(entry.points)
                last = rec.trace.ops[k - 1].where if k else "(start)"
                step = rec.scenario.steps[step_of_point(rec, k)].name
                say(f"VIOLATION {rec.scenario.name}, crash in `{step}` after {last}:")
                for problem in entry.problems:
                    say(f"    {problem}")
            if len(bad) > 20:
                say(f"... and {len(bad) - 20} more violating states in {rec.scenario.name}")
            failed = failed or bool(bad)
            notes = sorted({n for e in found.values() for n in e.notes})
            for note in notes:
                say(f"note {rec.scenario.name}: {note}")
        say()
        say("Durability: what a crash right after a step that returned 0 can still lose")
        for rec in recorded:
            for line in durability(rec, args.per_point, rng):
                say(line)
        say()
        broken = 0
        for rec in recorded:
            for step, op, allowed in broken_promises(rec.trace, rec.scenario.steps, rec.step_end,
                                                     rec.scenario.install_at, promises):
                say(f"VIOLATION {rec.scenario.name}, beyond docs/durability.md: " + (
                    f"after `{step.name}` returned 0 a crash can take back {op.where}; its "
                    f"row lists {', '.join(sorted(allowed)) or 'none'}" if op else
                    f"no row for `{step.name}`"))
                broken += 1
        failed = failed or broken > 0
        say(f"docs/durability.md: {broken} changes beyond what it lists, over "
            f"{sum(s.name != 'installer' for r in recorded for s in r.scenario.steps)} steps")
        say()
        say(f"{'FAILED' if failed else 'passed'}: {totals[1]} distinct crash states "
            f"({totals[0]} over all crash points), {totals[2]} retried, seed {seed}, "
            f"{time.monotonic() - started:.0f} s (recording {phases[0] - started:.0f} s, "
            f"building and checking {phases[1] - phases[0]:.0f} s, retrying "
            f"{phases[2] - phases[1]:.0f} s)")
    except (TraceError, RuntimeError, OSError, subprocess.SubprocessError) as error:
        say(f"powerloss: {error}")
        return 2
    except KeyboardInterrupt:
        say("powerloss: interrupted")
        return 2
    finally:
        runner.end_all()
        shutil.rmtree(work, ignore_errors=True)
        if args.report:
            with open(args.report, "w") as f:
                f.write("\n".join(out) + "\n")
    return 1 if failed else 0


def _choose(explored, budget: int | None, rng: random.Random):
    """The states to retry: all, or within `budget` every step's first states
    and then a seeded sample."""
    everything = [(rec, e) for rec, found, _, _ in explored for e in found.values()]
    if budget is None or budget >= len(everything):
        return everything
    chosen, taken = [], set()
    by_step: dict[tuple[str, int], list] = {}
    for rec, entry in everything:
        for k in sorted({step_of_point(rec, k) for k in entry.points}):
            by_step.setdefault((rec.scenario.name, k), []).append((rec, entry))
    groups = list(by_step.values())
    for group in groups:
        rng.shuffle(group)
        # Those already failing a check first.
        group.sort(key=lambda pair: not pair[1].problems)
    # Round by round, one more state of every step that has one left.
    while len(chosen) < budget and groups:
        for group in groups:
            while group and id(group[0][1]) in taken:
                group.pop(0)
            if group and len(chosen) < budget:
                pick = group.pop(0)
                taken.add(id(pick[1]))
                chosen.append(pick)
        groups = [g for g in groups if g]
    return chosen


if __name__ == "__main__":
    sys.exit(main())
