#!/usr/bin/env python3
"""The sample NSIS installer of examples/nsis, end to end under Wine.

Builds the installer with makensis for MCP server 1.0.0 and 1.1.0, whose
payloads are copies of the fixture program, and runs each silently (/S):
  1. install 1.0.0;
  2. update to 1.1.0 while the 1.0.0 MCP server runs and holds its executable:
     the installer waits in prepare until the server ends; meanwhile the
     1.0.0 installer finds that installation in progress: exit code 20,
     nothing changed;
  3. the 1.0.0 installer while quarlo.exe runs: exit code 10, nothing changed;
     and with a /LOG= path so long that its command lines could be cut:
     exit code 20, no step run;
  4. uninstall, with a copy of the uninstaller run in place (_?=) as a
     program that waits for it does: the folder is gone.
The exit codes are the installer's documented ones for silent runs.
After each step it checks the installation folder and qrl_update's records.
Every process it starts is ended, whatever happens.

ctest runs it in the Windows build, in the Wine environment (WINEPREFIX and
the rest) that scripts/test sets up; it works as root and as an unprivileged
user, since everything it writes is under a temporary folder of its own.
"""
import argparse
import ctypes
import hashlib
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

OLD, NEW = "1.0.0", "1.1.0"
LAUNCHER_VERSION = "qrl-mcp-launcher 1.0.0\n"
# The installer's exit codes in silent mode: Quarlo running, and any failure
# the user cannot resolve (here another installation in progress).
APP_RUNNING = 10
FAILED = 20


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def win(path):
    """The Windows form of a Linux path: Wine's drive Z: is the root."""
    return "Z:" + str(path).replace("/", "\\")


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def wait_until(condition, bound=60.0):
    """Polls `condition` until it holds or `bound` seconds have passed."""
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            return condition()
        time.sleep(0.02)
    return True


def fixture_copy(base, tag, answers=None):
    """The fixture program's bytes with its configuration appended, in the
    format of tests/fixture/trailer.h: "\\nQRL-FIXTURE-CONFIG\\n", lines
    "key=HEX\\n", their length as 16 decimal digits, "\\nQRL-FIXTURE-END\\n".
    `answers` maps a question ("update-protocol", "launcher-version") to the
    exact output of a copy that answers it with exit status 0."""
    values = {"tag": tag}
    for question, out in (answers or {}).items():
        values |= {f"{question}.out": out, f"{question}.exit": "0",
                   f"{question}.stderr": "0", f"{question}.hang": "0",
                   f"{question}.mark": ""}
    lines = "".join(f"{key}={value.encode().hex()}\n" for key, value in sorted(values.items()))
    return (base + b"\nQRL-FIXTURE-CONFIG\n" + lines.encode() + b"%016d" % len(lines) +
            b"\nQRL-FIXTURE-END\n")


class OpenCounter:
    """Counts how often a file is opened, by any process (Linux inotify): how
    the test sees prepare poll a busy executable, which it opens each time."""

    IN_OPEN = 0x20

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        check(self.fd >= 0, f"inotify_init1 failed: {os.strerror(ctypes.get_errno())}")
        if libc.inotify_add_watch(self.fd, os.fsencode(path), self.IN_OPEN) < 0:
            os.close(self.fd)
            raise Failure(f"cannot watch {path}: {os.strerror(ctypes.get_errno())}")
        self.opens = 0

    def count(self):
        while True:
            try:
                events = os.read(self.fd, 4096)
            except BlockingIOError:
                return self.opens
            # struct inotify_event: int wd; uint32 mask, cookie, len; char name[len]
            at = 0
            while at < len(events):
                _, mask, _, length = struct.unpack_from("iIII", events, at)
                at += 16 + length
                self.opens += bool(mask & self.IN_OPEN)

    def close(self):
        os.close(self.fd)


class Processes:
    """Every Wine process the test starts, so that all are ended at the end."""

    def __init__(self, work):
        self.work = work
        self.started = []

    def start(self, exe, *args):
        # Output goes to a file: Wine's daemons may keep an inherited pipe open.
        output = open(self.work / f"wine-output-{len(self.started)}.txt", "wb")
        process = subprocess.Popen(["wine", str(exe), *args], stdin=subprocess.DEVNULL,
                                   stdout=output, stderr=subprocess.STDOUT)
        output.close()
        self.started.append(process)
        return process

    def start_staying(self, exe):
        """Starts a fixture copy that runs until it is ended, once it runs."""
        ready = self.work / f"ready-{len(self.started)}"
        process = self.start(exe, "--stay", win(ready))
        wait_until(lambda: ready.exists() or process.poll() is not None)
        check(ready.exists(), f"{exe} did not start (exit code {process.poll()})")
        return process

    def output(self, process):
        return (self.work / f"wine-output-{self.started.index(process)}.txt").read_bytes()

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.kill()
        process.wait(timeout=60)

    def end_all(self):
        for process in self.started:
            self.end(process)
        # The installers' own children (qrl_update.exe) name the work folder on
        # their command lines: end those too, by their identifiers.
        for pid in self.strays():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_until(lambda: not self.strays(), bound=30)

    def strays(self):
        """Processes other than this one whose command line names the work folder."""
        marks = (os.fsencode(self.work), win(self.work).encode())
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit() or int(entry.name) == os.getpid():
                continue
            try:
                command_line = (entry / "cmdline").read_bytes()
            except OSError:
                continue
            if any(mark in command_line for mark in marks):
                pids.append(int(entry.name))
        return pids


class InstallerTest:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.inst = work / "Quarlo"
        self.logs = work / "logs"
        self.logs.mkdir()
        self.processes = Processes(work)
        self.runs = 0

    # -- the package and the installers

    def make_packages(self):
        """Each version's application, MCP server and launcher. The application
        and the server differ by tag; both versions bring the same launcher."""
        base = self.stripped(self.args.fixture).read_bytes()
        launcher = fixture_copy(base, "launcher", {"update-protocol": "1\n",
                                                   "launcher-version": LAUNCHER_VERSION})
        for version in (OLD, NEW):
            package = self.package(version)
            package.mkdir(parents=True)
            (package / "quarlo.exe").write_bytes(fixture_copy(base, f"app {version}"))
            (package / "qrl-mcp-server.exe").write_bytes(fixture_copy(base, f"server {version}"))
            (package / "qrl-mcp.exe").write_bytes(launcher)
        # The copies must answer as configured, or a format drift would go
        # unseen: ask the launcher both questions.
        for question, answer in (("--launcher-version", LAUNCHER_VERSION),
                                 ("--update-protocol", "1\n")):
            exe = self.package(OLD) / "qrl-mcp.exe"
            process = self.processes.start(exe, question)
            check(process.wait(timeout=120) == 0 and
                  self.processes.output(process) == answer.encode(),
                  f"the launcher copy answered {question} with "
                  f"{self.processes.output(process)!r}, exit code {process.returncode}")

    def stripped(self, exe):
        """A copy of `exe` without its debugging information, as the release
        package ships it: the same program, a fifth of the size, so that
        makensis compresses it in a moment."""
        if not self.args.strip:
            return Path(exe)
        copy = self.work / "stripped" / Path(exe).name
        copy.parent.mkdir(exist_ok=True)
        subprocess.run([self.args.strip, "-o", str(copy), str(exe)], check=True)
        return copy

    def package(self, version):
        return self.work / "package" / version

    def build_installer(self, version):
        package = self.package(version)
        setup = self.work / f"Quarlo-{version}-setup.exe"
        # This machine runs 64-bit programs only; the script's default target
        # is the 32-bit one that NSIS for Windows ships.
        command = [self.args.makensis, "-V2", "-WX", "-DTARGET=amd64-unicode",
                   f"-DMCP_VERSION={version}",
                   f"-DHELPER={self.helper}", f"-DAPP={package / 'quarlo.exe'}",
                   f"-DMCP_SERVER={package / 'qrl-mcp-server.exe'}",
                   f"-DLAUNCHER={package / 'qrl-mcp.exe'}", f"-DOUTFILE={setup}",
                   self.args.script]
        built = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        check(built.returncode == 0 and setup.exists(),
              f"makensis failed ({built.returncode}):\n{built.stdout}{built.stderr}")
        return setup

    def installer_args(self):
        """Silent, with a log folder of its own for each run of the installer
        or the uninstaller (qrl_update's log goes beside the installer's)."""
        self.runs += 1
        folder = self.logs / f"run-{self.runs}"
        folder.mkdir()
        self.log = folder / "setup.log"
        return ["/S", f"/LOG={win(self.log)}"]

    def start_installer(self, version):
        return self.processes.start(self.setup[version], *self.installer_args(),
                                    f"/D={win(self.inst)}")

    def finish(self, process, what, bound=300):
        try:
            return process.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            raise Failure(f"{what} still runs after {bound} s")

    def helper_log(self):
        """qrl_update's log of the latest run (UTF-8, beside the installer's)."""
        try:
            return (self.log.parent / "qrl_update.log").read_text("utf-8")
        except FileNotFoundError:
            return ""

    def expect_helper_logged(self, *texts):
        log = self.helper_log()
        for text in texts:
            check(text in log, f"qrl_update's log lacks {text!r}:\n{log}")

    def log_text(self):
        """The installer's log of the latest run (UTF-16 text)."""
        try:
            return self.log.read_bytes().decode("utf-16-le", "ignore")
        except FileNotFoundError:
            return ""

    # -- what the installation folder must hold

    def tree(self):
        return sorted(p.relative_to(self.inst).as_posix() for p in self.inst.rglob("*"))

    def snapshot(self):
        return {name: None if (self.inst / name).is_dir() else (self.inst / name).read_bytes()
                for name in self.tree()}

    def record(self, name):
        path = self.inst / name
        check(path.is_file(), f"{name} is missing")
        return json.loads(path.read_bytes())

    def expect_installed(self, version, servers, previous):
        """`version` is current, `servers` the versions whose servers are
        installed, `previous` the bytes of mcp/previous.json (None: absent)."""
        expected = [".qrl-pair.json", ".qrl-update.lock", "mcp", "mcp/current.json",
                    "qrl-mcp.exe", "quarlo.exe", "uninstall.exe"]
        expected += [f"mcp/{v}" for v in servers] + [f"mcp/{v}/qrl-mcp-server.exe" for v in servers]
        if previous is not None:
            expected.append("mcp/previous.json")
        # No lease (.qrl-update.json) once verify has completed, and no
        # temporary file left behind.
        check(self.tree() == sorted(expected),
              f"installation folder after {version}: {self.tree()}, expected {sorted(expected)}")
        package = self.package(version)
        for name in ("quarlo.exe", "qrl-mcp.exe"):
            check(sha256(self.inst / name) == sha256(package / name), f"{name} is not {version}'s")
        for v in servers:
            check(sha256(self.inst / f"mcp/{v}/qrl-mcp-server.exe") ==
                  sha256(self.package(v) / "qrl-mcp-server.exe"), f"mcp/{v} holds another server")
        bundle = {"version": version,
                  "serverSha256": sha256(package / "qrl-mcp-server.exe"),
                  "appSha256": sha256(package / "quarlo.exe"),
                  "launcherSha256": sha256(package / "qrl-mcp.exe")}
        check(self.record("mcp/current.json") == bundle,
              f"mcp/current.json is {self.record('mcp/current.json')}, expected {bundle}")
        pair = {"app": bundle["appSha256"], "mcp": bundle["launcherSha256"], "server": bundle}
        check(self.record(".qrl-pair.json") == pair,
              f".qrl-pair.json is {self.record('.qrl-pair.json')}, expected {pair}")
        if previous is not None:
            check((self.inst / "mcp/previous.json").read_bytes() == previous,
                  "mcp/previous.json is not the record of the version before")

    # -- the steps

    def install(self):
        status = self.finish(self.start_installer(OLD), "the 1.0.0 installer")
        check(status == 0, f"installing {OLD} ended with exit code {status}")
        self.expect_installed(OLD, [OLD], previous=None)
        self.expect_helper_logged(" prepare ", "lease: taken for owner", " install-payload ",
                                  " stage ", " verify ", "lease given back", "] succeeded")

    def update_while_server_runs(self):
        old_record = (self.inst / "mcp/current.json").read_bytes()
        server_exe = self.inst / f"mcp/{OLD}/qrl-mcp-server.exe"
        server = self.processes.start_staying(server_exe)
        opens = OpenCounter(server_exe)
        try:
            installer = self.start_installer(NEW)
            # Seen waiting: prepare has polled the busy server twice (each poll
            # opens its executable; only a poll that found it busy is followed
            # by another), it has not returned (the installer logs that) and
            # nothing of 1.1.0 is installed. Then the server ends.
            wait_until(lambda: opens.count() >= 2 or installer.poll() is not None, bound=120)
        finally:
            opens.close()
        check(installer.poll() is None,
              f"the installer ended with {installer.returncode} while the old server ran")
        check(opens.opens >= 2, "prepare did not poll the old server")
        check((self.inst / ".qrl-update.json").exists(), "the installer took no lease")
        check("qrl_update prepare: exit status" not in self.log_text(),
              "prepare returned while the old server ran")
        check(not (self.inst / f"mcp/{NEW}").exists(),
              "the new server was installed while the old one still ran")
        updating_log = self.log
        self.refused_while_installation_runs()
        self.log = updating_log
        self.processes.end(server)
        status = self.finish(installer, "the 1.1.0 installer")
        check(status == 0, f"updating to {NEW} ended with exit code {status}")
        self.expect_installed(NEW, [OLD, NEW], previous=old_record)
        self.expect_helper_logged("prepare: waiting, ", "qrl-mcp-server.exe is in use",
                                  "prepare: everything released after")

    def refused_while_app_runs(self):
        before = self.snapshot()
        app = self.processes.start_staying(self.inst / "quarlo.exe")
        status = self.finish(self.start_installer(OLD), "the installer while Quarlo ran")
        self.processes.end(app)
        check(status == APP_RUNNING,
              f"the installer ended with {status} while Quarlo ran, expected {APP_RUNNING}")
        check(self.snapshot() == before, "the refused installer changed the installation folder: "
              f"{self.tree()}, before {sorted(before)}")
        self.expect_helper_logged("quarlo.exe is in use", "failed with exit status 10: ")

        # The helper's log lies beside this one, so every command line would
        # pass 1023 characters, where nsExec and NSIS's strings cut it.
        self.log = self.logs.joinpath("long", *(letter * 220 for letter in "wxyz"), "setup.log")
        check(len(win(self.log)) < 1000, "the long /LOG= path does not fit NSIS's strings")
        self.log.parent.mkdir(parents=True)
        status = self.finish(self.processes.start(self.setup[OLD], "/S", f"/LOG={win(self.log)}",
                                                  f"/D={win(self.inst)}"),
                             "the installer with a long log path")
        check(status == FAILED, f"the installer with a long log path ended with {status}")
        check("qrl_update prepare: exit status too-long" in self.log_text(),
              f"the installer ran a command line that may have been cut:\n{self.log_text()}")
        check(self.helper_log() == "" and self.snapshot() == before,
              "qrl_update ran with a command line that may have been cut")

    def refused_while_installation_runs(self):
        """A second installer while one waits in prepare: it holds no lease."""
        before = self.snapshot()
        status = self.finish(self.start_installer(OLD), "the installer during an update")
        check(status == FAILED,
              f"the installer ended with {status} during an update, expected {FAILED}")
        check(self.snapshot() == before, "the refused installer changed the installation folder")
        self.expect_helper_logged("failed with exit status 20: 已有安装正在进行")

    def uninstall(self):
        # _?= runs the uninstaller in place, so that its exit code is waited
        # for (otherwise it starts a copy of itself and ends at once). Run from
        # the folder it removes, it could not delete itself nor the folder: a
        # copy elsewhere runs, as an installer runs it from its $PLUGINSDIR.
        uninstaller = self.work / "uninstaller" / "uninstall.exe"
        uninstaller.parent.mkdir()
        shutil.copyfile(self.inst / "uninstall.exe", uninstaller)
        status = self.finish(self.processes.start(uninstaller, *self.installer_args(),
                                                  f"_?={win(self.inst)}"), "the uninstaller")
        check(status == 0, f"the uninstaller ended with exit code {status}")
        check(not self.inst.exists(), f"left after uninstalling: {self.tree()}")

    def run(self):
        started = time.monotonic()
        self.helper = self.stripped(self.args.helper)
        self.make_packages()
        self.setup = {version: self.build_installer(version) for version in (OLD, NEW)}
        print(f"-- packages and installers built ({time.monotonic() - started:.1f} s)", flush=True)
        for name, step in (("install 1.0.0", self.install),
                           ("update to 1.1.0 while the 1.0.0 server runs",
                            self.update_while_server_runs),
                           ("the installer while Quarlo runs", self.refused_while_app_runs),
                           ("uninstall", self.uninstall)):
            started = time.monotonic()
            step()
            print(f"-- {name}: passed ({time.monotonic() - started:.1f} s)", flush=True)

    def show_logs(self):
        for log in sorted(self.logs.rglob("*.log")):
            data = log.read_bytes()
            # The installer writes UTF-16 with a byte order mark, qrl_update UTF-8.
            text = data.decode("utf-16") if data.startswith(b"\xff\xfe") else data.decode(
                "utf-8", "replace")
            print(f"== {log.relative_to(self.logs)}\n{text}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--makensis", default="makensis")
    parser.add_argument("--script", required=True, help="examples/nsis/quarlo.nsi")
    parser.add_argument("--helper", required=True, help="qrl_update.exe")
    parser.add_argument("--fixture", required=True, help="qrl_fixture.exe")
    parser.add_argument("--strip", help="the strip program for Windows executables")
    parser.add_argument("--keep", action="store_true",
                        help="keep the work folder (installers, installation, logs)")
    args = parser.parse_args()
    # makensis reads relative paths from the script's folder: make them absolute.
    for name in ("script", "helper", "fixture"):
        setattr(args, name, str(Path(getattr(args, name)).resolve()))
    if shutil.which(args.makensis) is None:
        print(f"FAILED: {args.makensis} not found (scripts/setup.sh installs nsis)")
        return 1

    work = Path(tempfile.mkdtemp(prefix="qrl-nsis-"))
    test = InstallerTest(args, work)
    try:
        test.run()
        print("nsis installer: all steps passed")
        return 0
    except Exception as failure:
        test.show_logs()
        if not isinstance(failure, Failure):
            traceback.print_exc()
        print(f"FAILED: {failure}")
        return 1
    finally:
        test.processes.end_all()
        if args.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
