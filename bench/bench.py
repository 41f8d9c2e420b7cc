"""Measures qrl_update against public yardsticks, in one run, interleaved.

Every figure is the program's median beside its yardstick's median, both
measured in the same run, alternating program and yardstick (ABBA order, so a
drift of the machine's load hits both alike):

  stage            `stage --app A --mcp B` (plain form) of two N MiB files of
                   random bytes, against `openssl dgst -sha256 A B`, page
                   cache warm.
  install-payload  of an N MiB server, against `cat SRC > DST && sync DST` on
                   the same file system, each run after a `sync` so that no
                   earlier write is flushed inside it: once writing a new
                   file (the target removed before each run, as an update
                   writes a new version folder), once replacing the file the
                   run before wrote (the same version again).
  memory           peak RSS (`/usr/bin/time -f %M`) of both commands and of
                   their yardsticks at N and at 4N MiB.
  cancel           with no lease, against `/bin/true` (many runs in blocks).
  prepare          waiting on an MCP server held with `flock FILE sleep`:
                   how long after the release it returns (median, p95) and its
                   CPU time (user + system) over the wall time of its wait.

Run through bench/run, which installs what is needed. Every process started
here is ended, and the work folder removed, also on Ctrl-C or SIGTERM.
"""

import argparse
import math
import os
import platform
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
FIGURES = ("stage", "install", "memory", "cancel", "prepare")
VERSION = "1.0.0"
POLL_S = 0.200  # prepare's poll interval


class Interrupted(Exception):
    pass


def log(text):
    print(text, file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values)


def nearest_rank(values, fraction):
    """The nearest-rank percentile: the smallest value with at least
    `fraction` of the values at or below it."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


class Children:
    """Every process this script starts runs in a session of its own, so that
    Ctrl-C reaches only this script, which then kills each process group it
    started (by its identifier) and reaps it."""

    def __init__(self):
        self.live = {}

    def start(self, argv, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        self.live[proc.pid] = proc
        return proc

    def kill(self, proc):
        """Kills the process group of `proc` (the process and anything it
        started) and reaps the process."""
        if proc.returncode is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
        self.live.pop(proc.pid, None)

    def reaped(self, proc, status):
        """Records that `proc` was reaped through os.wait4."""
        proc.returncode = os.waitstatus_to_exitcode(status)
        self.live.pop(proc.pid, None)

    def wait(self, proc):
        proc.wait()
        self.live.pop(proc.pid, None)
        return proc.returncode

    def kill_all(self):
        for proc in list(self.live.values()):
            self.kill(proc)


class Bench:
    def __init__(self, args):
        self.args = args
        self.mib = args.mib
        self.program = os.path.abspath(args.program)
        self.children = Children()
        self.work = None
        self.owner = None
        self.rows = []  # (figure, program, yardstick, ratio, goal, met)
        self.notes = []

    # -- running commands --------------------------------------------------

    def path(self, *names):
        return os.path.join(self.work, *names)

    def run_measured(self, argv, what):
        """Runs `argv` under /usr/bin/time; its wall time in seconds (taken
        here, finer than time's own) and its peak RSS in KiB. GNU time forks
        the command itself, so the figure is the command's own: a child that
        Python started with vfork would count this script's pages instead."""
        rss_file = self.path("rss")
        err_file = self.path("stderr")
        with open(err_file, "wb") as err:
            start = time.perf_counter()
            proc = self.children.start(
                ["/usr/bin/time", "-f", "%M", "-o", rss_file, *argv],
                stdout=subprocess.DEVNULL,
                stderr=err,
            )
            code = self.children.wait(proc)
            wall = time.perf_counter() - start
        if code != 0:
            with open(err_file, "rb") as err:
                message = err.read().decode(errors="replace").strip()
            raise RuntimeError(f"{what} failed with status {code}: {message}")
        with open(rss_file) as f:
            rss_kib = int(f.read().split()[-1])
        return wall, rss_kib

    def program_argv(self, command, *options, install_dir=None):
        return [
            self.program,
            command,
            "--install-dir",
            install_dir or self.path("inst"),
            "--owner",
            str(self.owner.pid),
            *options,
        ]

    def interleaved(
        self, rounds, program, yardstick, before_program=None, before_yardstick=None
    ):
        """Runs `program` and `yardstick` (each a function returning (wall,
        rss)) `rounds` times each in ABBA order, each after its own `before_`
        function (untimed) when given; the lists of results."""
        mine, theirs = [], []
        for i in range(rounds):
            order = [(program, before_program, mine), (yardstick, before_yardstick, theirs)]
            if i % 2:
                order.reverse()
            for run, before, into in order:
                if before:
                    before()
                into.append(run())
        return mine, theirs

    # -- preparing the work folder ------------------------------------------

    def make_random_file(self, name, mib):
        path = self.path(name)
        if not os.path.exists(path):
            with open(path, "wb") as f:
                for _ in range(mib):
                    f.write(os.urandom(MIB))
        return path

    def warm(self, *paths):
        """Reads each file once, so that the timed runs find it in the page
        cache."""
        for path in paths:
            with open(path, "rb", buffering=0) as f:
                while f.read(4 * MIB):
                    pass

    def start_owner(self):
        # The installer: any live process. The lease records its identifier
        # and start time.
        self.owner = self.children.start(["sleep", "100000"])
        os.makedirs(self.path("inst"))
        os.makedirs(self.path("nolease"))
        proc = self.children.start(self.program_argv("prepare", "--timeout", "10"))
        if self.children.wait(proc) != 0:
            raise RuntimeError("prepare (taking the lease) failed")

    def check_space(self):
        needed = 24 * self.mib * MIB
        free = shutil.disk_usage(self.work).free
        if free < needed:
            raise RuntimeError(
                f"{self.work} has {free // MIB} MiB free; N={self.mib} needs about "
                f"{needed // MIB} MiB (24 N)"
            )

    # -- the figures ---------------------------------------------------------

    def stage_figures(self, mib, rounds):
        a = self.make_random_file(f"app-{mib}.bin", mib)
        b = self.make_random_file(f"mcp-{mib}.bin", mib)
        self.warm(a, b)
        program = lambda: self.run_measured(
            self.program_argv("stage", "--app", a, "--mcp", b), "stage"
        )
        openssl = lambda: self.run_measured(
            ["openssl", "dgst", "-sha256", a, b], "openssl dgst"
        )
        program()
        openssl()  # one untimed run each
        return self.interleaved(rounds, program, openssl)

    def install_figures(self, mib, rounds, fresh):
        """install-payload against cat + sync. `fresh`: before each run its
        target is removed (untimed), as an update writes a new version folder
        and the yardstick a new DST. Otherwise each run replaces the file the
        previous run wrote (the same version installed again) and the
        yardstick truncates its previous DST."""
        server = self.make_random_file(f"mcp-{mib}.bin", mib)
        launcher = self.make_random_file("launcher.bin", 1)
        version_dir = os.path.join(self.path("inst"), "mcp", VERSION)
        dst = self.path("dst.bin")
        self.warm(server, launcher)
        program = lambda: self.run_measured(
            self.program_argv(
                "install-payload",
                "--mcp",
                server,
                "--launcher",
                launcher,
                "--version",
                VERSION,
            ),
            "install-payload",
        )
        copy = lambda: self.run_measured(
            ["sh", "-c", 'cat "$1" > "$2" && sync "$2"', "sh", server, dst],
            "cat > DST && sync DST",
        )

        # Each run starts with nothing left to flush (and, after a removal,
        # with the freed blocks' discards done), so that it pays for its own
        # writing only.
        def before_program():
            if fresh:
                shutil.rmtree(version_dir, ignore_errors=True)
            os.sync()

        def before_copy():
            if fresh and os.path.exists(dst):
                os.unlink(dst)
            os.sync()

        # The first install-payload also installs the launcher; later ones
        # find it equal and keep it, so each timed run copies the server only.
        program()
        copy()
        return self.interleaved(rounds, program, copy, before_program, before_copy)

    def spawn_time(self, argv, devnull):
        start = time.perf_counter_ns()
        pid = os.posix_spawn(
            argv[0],
            argv,
            os.environ,
            file_actions=[
                (os.POSIX_SPAWN_DUP2, devnull, 1),
                (os.POSIX_SPAWN_DUP2, devnull, 2),
            ],
        )
        _, status = os.waitpid(pid, 0)
        elapsed = time.perf_counter_ns() - start
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError(f"{argv[0]} {argv[1:2]} failed with status {status}")
        return elapsed / 1e9

    def cancel_figures(self, runs, block):
        # An installation folder without a lease: cancel has nothing to give
        # back and exits 0 at once.
        program = self.program_argv("cancel", install_dir=self.path("nolease"))
        true = ["/bin/true"]
        devnull = os.open(os.devnull, os.O_WRONLY)
        mine, theirs = [], []
        try:
            for _ in range(block):  # warm-up
                self.spawn_time(program, devnull)
                self.spawn_time(true, devnull)
            blocks = max(1, runs // block)
            for i in range(blocks):
                order = [(program, mine), (true, theirs)]
                if i % 2:
                    order.reverse()
                for argv, into in order:
                    for _ in range(block):
                        into.append(self.spawn_time(argv, devnull))
        finally:
            os.close(devnull)
        return mine, theirs

    def wait_until_locked(self, path, holder):
        st = os.stat(path)
        device = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if holder.poll() is not None:
                raise RuntimeError("flock ended before it held the server")
            with open("/proc/locks") as f:
                for line in f:
                    fields = line.split()
                    if "FLOCK" in fields and device in fields:
                        return
            time.sleep(0.005)
        raise RuntimeError(f"flock did not take the lock on {path} within 10 s")

    def prepare_figures(self, releases, settle):
        server = os.path.join(self.path("inst"), "mcp", VERSION, "qrl-mcp-server.exe")
        if not os.path.exists(server):
            launcher = self.make_random_file("launcher.bin", 1)
            proc = self.children.start(
                self.program_argv(
                    "install-payload",
                    "--mcp",
                    launcher,
                    "--launcher",
                    launcher,
                    "--version",
                    VERSION,
                )
            )
            if self.children.wait(proc) != 0:
                raise RuntimeError("install-payload (a server to hold) failed")
        latencies, waits, totals = [], [], []
        err_file = self.path("stderr")
        for i in range(releases):
            holder = self.children.start(["flock", server, "sleep", "100000"])
            self.wait_until_locked(server, holder)
            with open(err_file, "wb") as err:
                start = time.perf_counter()
                proc = self.children.start(
                    self.program_argv("prepare", "--timeout", "60"),
                    stdout=subprocess.DEVNULL,
                    stderr=err,
                )
            # The wait is measured from a moment when prepare has long been
            # polling (its start-up is not part of it) to the release, which
            # comes at a uniformly random moment of the poll cycle.
            sleep_until(start + settle / 2)
            waiting_from = time.perf_counter(), cpu_clock(proc.pid)
            sleep_until(start + settle + random.uniform(0, POLL_S))
            waiting_to = time.perf_counter(), cpu_clock(proc.pid)
            if proc.poll() is not None:
                self.children.kill(holder)
                raise RuntimeError(
                    f"prepare returned (status {proc.returncode}) while the server was held"
                )
            released = time.perf_counter()
            self.children.kill(holder)
            _, status, usage = os.wait4(proc.pid, 0)
            ended = time.perf_counter()
            self.children.reaped(proc, status)
            if proc.returncode != 0:
                with open(err_file, "rb") as err:
                    message = err.read().decode(errors="replace").strip()
                raise RuntimeError(f"prepare failed with status {proc.returncode}: {message}")
            latencies.append(ended - released)
            if waiting_from[1] is not None and waiting_to[1] is not None:
                waits.append((waiting_to[1] - waiting_from[1], waiting_to[0] - waiting_from[0]))
            # wait4's CPU times are the child's own (only its peak RSS would be
            # wrong that way, see run_measured).
            totals.append((usage.ru_utime + usage.ru_stime, ended - start))
            log(f"   release {i + 1}/{releases}: noticed after {1000 * latencies[-1]:.0f} ms")
        return latencies, waits, totals

    # -- the report ----------------------------------------------------------

    def row(self, figure, mine, theirs, ratio, goal, met):
        self.rows.append((figure, mine, theirs, ratio, goal, met))

    def time_row(self, figure, mine, theirs, goal):
        """A row of the median wall times of (wall, rss) runs and their ratio."""
        ratio = median([w for w, _ in mine]) / median([w for w, _ in theirs])
        self.row(
            figure,
            self.seconds([w for w, _ in mine]),
            self.seconds([w for w, _ in theirs]),
            f"{ratio:.2f}x",
            f"at most {goal}x",
            self.verdict(ratio <= goal),
        )

    def install_row(self, n, mine, theirs, case):
        self.time_row(
            f"`install-payload` of {n} MiB ({case}) against `cat > DST && sync DST`",
            mine, theirs, 1.2,
        )
        self.notes.append(
            f"install-payload ({case}) writes {n / median([w for w, _ in mine]):.0f} MiB/s"
            f" ({spread(mine)}); cat > DST && sync DST"
            f" {n / median([w for w, _ in theirs]):.0f} MiB/s ({spread(theirs)})."
        )

    @staticmethod
    def seconds(values):
        return f"{median(values):.3f} s"

    @staticmethod
    def verdict(ok):
        return "yes" if ok else "**no**"

    def machine(self):
        model = "unknown"
        flags = set()
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    key, _, value = line.partition(":")
                    key = key.strip()
                    if key == "model name" and model == "unknown":
                        model = value.strip()
                    elif key == "flags" and not flags:
                        flags = set(value.split())
        except OSError:
            pass
        memory = "unknown"
        try:
            with open("/proc/meminfo") as f:
                for line in f:
                    if line.startswith("MemTotal:"):
                        memory = f"{int(line.split()[1]) / (1024 * 1024):.1f} GiB"  # kB
                        break
        except OSError:
            pass
        df = subprocess.run(
            ["df", "--output=source,fstype", self.work],
            capture_output=True,
            text=True,
        ).stdout.splitlines()
        source, fstype = (df[-1].split() + ["?", "?"])[:2] if df else ("?", "?")
        openssl = subprocess.run(["openssl", "version"], capture_output=True, text=True)
        linked = "dynamically" if has_interpreter(self.program) else "statically"
        return [
            f"CPU: {model}, {os.cpu_count()} cores"
            f" (SHA extensions: {'yes' if 'sha_ni' in flags else 'no'})",
            f"Memory: {memory}",
            f"Kernel: {platform.system()} {platform.release()}",
            f"Work folder: {self.work} on {source} ({fstype})",
            f"Program: {self.program} ({linked} linked)",
            f"Yardsticks: {openssl.stdout.strip()}; GNU coreutils cat and sync",
        ]

    def main(self):
        a = self.args
        figures = set(a.only.split(",")) if a.only else set(FIGURES)
        unknown = figures - set(FIGURES)
        if unknown:
            raise SystemExit(f"unknown figure(s): {', '.join(sorted(unknown))}")
        parent = a.dir or os.environ.get("QRL_BENCH_DIR") or "/var/tmp"
        self.work = tempfile.mkdtemp(prefix="qrl-bench.", dir=parent)
        load_before = os.getloadavg()
        try:
            self.check_space()
            info = self.machine()
            if "(tmpfs)" in info[3] or "(ramfs)" in info[3]:
                self.notes.append(
                    "The work folder is in memory: `sync` flushes nothing there, so "
                    "install-payload's figure does not measure a disk. Give --dir on a disk."
                )
            self.start_owner()
            n, big = self.mib, 4 * self.mib
            rss = {}
            if "stage" in figures or "memory" in figures:
                log(f"== stage, 2 x {n} MiB, against openssl dgst ({a.rounds} rounds)")
                mine, theirs = self.stage_figures(n, a.rounds)
                rss[("stage", n)] = (mine, theirs)
                if "stage" in figures:
                    self.time_row(
                        f"`stage`, 2 x {n} MiB, against `openssl dgst -sha256`",
                        mine, theirs, 1.05,
                    )
                    self.notes.append(
                        f"stage hashes {2 * n / median([w for w, _ in mine]):.0f} MiB/s"
                        f" ({spread(mine)}); openssl dgst"
                        f" {2 * n / median([w for w, _ in theirs]):.0f} MiB/s ({spread(theirs)})."
                    )
            if "install" in figures or "memory" in figures:
                log(f"== install-payload, {n} MiB, new file, against cat > DST && sync DST"
                    f" ({a.rounds} rounds)")
                mine, theirs = self.install_figures(n, a.rounds, fresh=True)
                rss[("install", n)] = (mine, theirs)
                if "install" in figures:
                    self.install_row(n, mine, theirs, "new file")
            if "install" in figures:
                log(f"== install-payload, {n} MiB, replacing, against cat > DST && sync DST"
                    f" ({a.rounds} rounds)")
                mine, theirs = self.install_figures(n, a.rounds, fresh=False)
                self.install_row(n, mine, theirs, "replacing the last one")
            if "memory" in figures:
                log(f"== stage and install-payload at {big} MiB ({a.big_rounds} rounds)")
                rss[("stage", big)] = self.stage_figures(big, a.big_rounds)
                rss[("install", big)] = self.install_figures(big, a.big_rounds, fresh=True)
                for command, label, yardstick in (
                    ("stage", "`stage`, 2 x {} MiB", "openssl dgst"),
                    ("install", "`install-payload`, {} MiB", "cat + sync"),
                ):
                    small = max(r for _, r in rss[(command, n)][0])
                    for size in (n, big):
                        mine, theirs = rss[(command, size)]
                        peak = max(r for _, r in mine)
                        other = max(r for _, r in theirs)
                        ok = peak <= 16 * 1024 and (size == n or peak <= small + 1024)
                        self.row(
                            "peak RSS, " + label.format(size),
                            f"{peak / 1024:.1f} MiB",
                            f"{other / 1024:.1f} MiB ({yardstick})",
                            f"{peak / other:.2f}x",
                            "at most 16 MiB" + ("" if size == n else f", as at {n} MiB"),
                            self.verdict(ok),
                        )
            if "cancel" in figures:
                log(f"== cancel without a lease against /bin/true ({a.cancel_runs} runs each)")
                mine, theirs = self.cancel_figures(a.cancel_runs, a.cancel_block)
                ratio = median(mine) / median(theirs)
                self.row(
                    "`cancel` with no lease against `/bin/true`",
                    f"{1e3 * median(mine):.2f} ms",
                    f"{1e3 * median(theirs):.2f} ms",
                    f"{ratio:.2f}x",
                    "at most 1.5x",
                    self.verdict(ratio <= 1.5),
                )
            if "prepare" in figures:
                log(f"== prepare waiting on a held MCP server ({a.releases} releases)")
                latencies, waits, totals = self.prepare_figures(a.releases, a.settle)
                med, p95 = median(latencies), nearest_rank(latencies, 0.95)
                # A poller that costs nothing, checking every 200 ms, notices a
                # release at a uniformly random moment after U(0, 200) ms.
                self.row(
                    "`prepare`, release noticed, median",
                    f"{1e3 * med:.0f} ms",
                    "100 ms (ideal 200 ms poll)",
                    f"{med / (POLL_S / 2):.2f}x",
                    "-",
                    "-",
                )
                self.row(
                    f"`prepare`, release noticed, p95 of {len(latencies)}",
                    f"{1e3 * p95:.0f} ms",
                    "190 ms (ideal 200 ms poll)",
                    f"{p95 / (0.95 * POLL_S):.2f}x",
                    "at most 250 ms",
                    self.verdict(p95 <= 0.250),
                )
                whole = sum(c for c, _ in totals) / sum(w for _, w in totals)
                if waits:
                    share = sum(c for c, _ in waits) / sum(w for _, w in waits)
                    measured = f"{100 * share:.3f}%"
                else:  # no /proc/PID/schedstat: the whole run, start-up included
                    share = whole
                    measured = f"{100 * share:.3f}% (whole runs)"
                self.row(
                    "`prepare`, CPU while waiting",
                    measured,
                    "-",
                    "-",
                    "at most 1%",
                    self.verdict(share <= 0.01),
                )
                self.notes.append(
                    f"prepare, whole runs (start-up and the {len(totals)} waits of about"
                    f" {a.settle:.1f} s): {100 * whole:.2f}% CPU; the longest notice took"
                    f" {1e3 * max(latencies):.0f} ms."
                )
        finally:
            self.children.kill_all()
            shutil.rmtree(self.work, ignore_errors=True)
        load_after = os.getloadavg()

        print()
        print(f"qrl_update benchmark, N = {n} MiB")
        print()
        for line in info:
            print(f"- {line}")
        print(
            "- Load average (1, 5, 15 min): before "
            + ", ".join(f"{x:.2f}" for x in load_before)
            + "; after "
            + ", ".join(f"{x:.2f}" for x in load_after)
        )
        print(
            f"- Rounds: {a.rounds} at N, {a.big_rounds} at 4N, {a.cancel_runs} cancel runs "
            f"in blocks of {a.cancel_block}, {a.releases} releases; medians"
        )
        print()
        print("| figure | program | yardstick | ratio | goal | met |")
        print("|---|---|---|---|---|---|")
        for row in self.rows:
            print("| " + " | ".join(row) + " |")
        if self.notes:
            print()
            for note in self.notes:
                print(f"- {note}")
        return 0 if all(r[5] in ("yes", "-") for r in self.rows) else 1


def spread(runs):
    walls = [w for w, _ in runs]
    return f"{min(walls):.3f} to {max(walls):.3f} s"


def sleep_until(moment):
    while (left := moment - time.perf_counter()) > 0:
        time.sleep(min(left, 0.05))


def cpu_clock(pid):
    """The CPU time (user + system) a single-threaded process has used so far,
    in seconds, from the scheduler's nanosecond count in /proc/PID/schedstat;
    None where the kernel does not keep it."""
    try:
        with open(f"/proc/{pid}/schedstat") as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        return None


def has_interpreter(path):
    """Whether the ELF file at `path` names a dynamic loader (PT_INTERP)."""
    try:
        with open(path, "rb") as f:
            header = f.read(64)
            if header[:4] != b"\x7fELF" or header[4] != 2:
                return True
            phoff = int.from_bytes(header[32:40], "little")
            phentsize = int.from_bytes(header[54:56], "little")
            phnum = int.from_bytes(header[56:58], "little")
            f.seek(phoff)
            for _ in range(phnum):
                entry = f.read(phentsize)
                if int.from_bytes(entry[0:4], "little") == 3:  # PT_INTERP
                    return True
    except OSError:
        return True
    return False


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    parser = argparse.ArgumentParser(
        prog="bench/run",
        description="Measures qrl_update against public yardsticks (see docs/performance.md).",
    )
    parser.add_argument(
        "mib",
        nargs="?",
        type=int,
        default=int(os.environ.get("QRL_BENCH_MIB", "256")),
        help="payload size N in MiB (default 256, or QRL_BENCH_MIB)",
    )
    parser.add_argument(
        "--dir",
        help="folder to make the work folder in (default /var/tmp, or QRL_BENCH_DIR);"
        " needs about 24 N MiB free, best not tmpfs",
    )
    parser.add_argument(
        "--program",
        default=os.environ.get("QRL_BENCH_PROGRAM", os.path.join(root, "build/linux/qrl_update")),
        help="the program to measure (default build/linux/qrl_update, or QRL_BENCH_PROGRAM)",
    )
    parser.add_argument(
        "--only", help="comma-separated figures to measure: " + ",".join(FIGURES)
    )
    parser.add_argument("--rounds", type=int, default=11, help="rounds at N (default 11)")
    parser.add_argument("--big-rounds", type=int, default=3, help="rounds at 4N (default 3)")
    parser.add_argument("--cancel-runs", type=int, default=300, help="cancel runs (default 300)")
    parser.add_argument("--cancel-block", type=int, default=20, help="runs per block (default 20)")
    parser.add_argument("--releases", type=int, default=20, help="prepare releases (default 20)")
    parser.add_argument(
        "--settle", type=float, default=1.5, help="seconds prepare waits before a release (1.5)"
    )
    args = parser.parse_args()
    if args.mib < 1:
        parser.error("N must be at least 1")
    if not os.access(args.program, os.X_OK):
        parser.error(
            f"{args.program} is not built: run scripts/test, or "
            "cmake --preset linux && cmake --build --preset linux --target qrl_update"
        )

    def interrupted(signum, _frame):
        raise Interrupted(signal.Signals(signum).name)

    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    try:
        return Bench(args).main()
    except (KeyboardInterrupt, Interrupted):
        log("bench/run: interrupted; every process ended and the work folder removed")
        return 130
    except RuntimeError as error:
        log(f"bench/run: {error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
