"""A reference server run privately for one command: on an ipc:// endpoint
in a temporary folder, stopped when the command ends, however it ends. A
folder left by a command that was killed (kill -9) is removed by the next
one: each folder holds a lock its command keeps while it runs."""

from __future__ import annotations

import atexit
import ctypes
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from types import TracebackType
from typing import Any, BinaryIO, TextIO

import tavrix
from corvane_cli.programs import find_program

START_DEADLINE_S = 30.0
STOP_DEADLINE_S = 10.0
QUERY_TIMEOUT_MS = 500
POLL_SLICE_S = 0.1  # a wait for the server's first line looks at stop requests this often
FOLDER_PREFIX = "corvane-server-"
LOCK_NAME = "owner.lock"
FRESH_FOLDER_S = 10.0

# Calls answered at once, so that the server never sets the pace.
ZERO_LATENCY = {"data_plane": {"latency_ms_per_read": 0, "latency_ms_per_1000_samples": 0}}

_PR_SET_PDEATHSIG = 1


class EmbeddedServerError(RuntimeError):
    """The private server could not be started. settings_problem: the
    server refused the settings file the user gave."""

    def __init__(self, message: str, settings_problem: bool = False) -> None:
        super().__init__(message)
        self.settings_problem = settings_problem


def remove_stale_folders(parent: str | os.PathLike[str] | None = None) -> int:
    """Removes the private servers' folders whose command is gone: nobody
    holds their lock. Returns how many."""
    removed = 0
    for folder in Path(parent or tempfile.gettempdir()).glob(FOLDER_PREFIX + "*"):
        try:
            info = folder.lstat()
            # A folder just made may not be locked yet.
            if (
                not folder.is_dir()
                or folder.is_symlink()
                or info.st_uid != os.getuid()
                or time.time() - info.st_mtime < FRESH_FOLDER_S
            ):
                continue
            with open(folder / LOCK_NAME, "rb") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                shutil.rmtree(folder)
                removed += 1
        except OSError:
            continue  # in use, not ours, or being made right now
    return removed


def default_settings(program: str | None = None) -> dict[str, Any]:
    """The reference server's built-in settings."""
    done = subprocess.run(
        [program or find_program("reference_server"), "--print-default-config"],
        capture_output=True,
        text=True,
        timeout=STOP_DEADLINE_S,
    )
    settings = json.loads(done.stdout) if done.returncode == 0 else {}
    return settings if isinstance(settings, dict) else {}


def _die_with_parent() -> None:
    # Runs in the child before exec: the server gets SIGTERM when this
    # process dies, even by SIGKILL, so no server outlives its command.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class EmbeddedServer:
    """Context manager: starts the reference server, waits until it answers
    a query, and stops it on leaving (also on an exception or Ctrl-C, and
    at interpreter exit should the context be skipped)."""

    def __init__(
        self,
        settings: dict[str, Any] | None = None,
        zero_latency: bool = True,
        program: str | None = None,
        settings_name: str | None = None,
        should_stop: Callable[[], None] | None = None,
        start_deadline_s: float = START_DEADLINE_S,
    ) -> None:
        self._settings: dict[str, Any] = dict(ZERO_LATENCY if zero_latency else {})
        self._settings.update(settings or {})
        self._program = program or find_program("reference_server")
        self._settings_name = settings_name  # the file the settings came from, named in errors
        self._should_stop = should_stop or (lambda: None)
        self._start_deadline_s = start_deadline_s  # for each of: saying it listens, answering
        self._folder: tempfile.TemporaryDirectory[str] | None = None
        self._lock: BinaryIO | None = None
        self._process: subprocess.Popen[str] | None = None
        self._log: TextIO | None = None
        self._settings_path: Path | None = None
        self.address = ""  # once started

    def configuration_names(self) -> list[str]:
        """The configurations the server offers: those of its settings, or
        its built-in ones."""
        listed = self._settings.get("configurations") or default_settings(self._program).get("configurations", [])
        return [entry.get("name", "") for entry in listed]

    def __enter__(self) -> EmbeddedServer:
        self.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.stop()

    def start(self) -> None:
        """Starts the server and waits until it answers."""
        self.launch()
        self.wait_until_ready()

    def launch(self) -> None:
        """Starts the server's process without waiting for it, so that the
        caller can do other work while it comes up; wait_until_ready()
        then waits for it (stop() ends it in any case)."""
        remove_stale_folders()
        self._folder = tempfile.TemporaryDirectory(prefix=FOLDER_PREFIX)
        folder = Path(self._folder.name)
        self._lock = open(folder / LOCK_NAME, "wb")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        command = [self._program, "--listen", f"ipc://{folder / 'server.sock'}", "--verbosity", "0"]
        self._settings_path = None
        if self._settings:
            self._settings_path = folder / "settings.json"
            self._settings_path.write_text(json.dumps(self._settings))
            command += ["--config", str(self._settings_path)]
        log = open(folder / "server.log", "w+")
        try:
            # A session of its own: Ctrl-C in the terminal reaches the command,
            # which then stops the server in order.
            process = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=log,
                text=True,
                start_new_session=True,
                preexec_fn=_die_with_parent,
            )
        except OSError as error:
            log.close()
            self._release_folder()
            raise EmbeddedServerError(f"cannot run {self._program}: {error}") from error
        self._process = process
        self._log = log
        atexit.register(self.stop)

    def wait_until_ready(self) -> None:
        """Waits until the launched server answers; stops it and raises
        EmbeddedServerError when it exits or does not answer in time."""
        process, log = self._process, self._log
        assert process is not None and log is not None, "launch() first"
        try:
            self.address = self._wait_until_listening(process, log)
            self._wait_until_answering(process, log)
        except BaseException:
            self.stop()
            raise

    @staticmethod
    def _server_log(log: TextIO) -> str:
        log.seek(0)
        return log.read().strip()

    def _failure(self, text: str) -> EmbeddedServerError:
        """The server's complaint, naming the user's settings file rather
        than the private copy when it is about the settings."""
        text = text.strip().removeprefix("reference_server: ")
        copy = str(self._settings_path) if self._settings_path else None
        if copy and copy in text:
            if self._settings_name:
                return EmbeddedServerError(text.replace(copy, str(self._settings_name)), settings_problem=True)
            return EmbeddedServerError(f"reference server refused its settings: {text.replace(copy + ': ', '')}")
        return EmbeddedServerError(f"reference server did not start: {text}")

    def _wait_until_listening(self, process: subprocess.Popen[str], log: TextIO) -> str:
        # The server prints its endpoint once bound, or exits saying why not;
        # its output is looked at in slices, so that a stop request is seen
        # and a server that says nothing is given up at the deadline.
        assert process.stdout is not None  # made with stdout=PIPE
        deadline = time.monotonic() + self._start_deadline_s
        while not select.select([process.stdout], [], [], POLL_SLICE_S)[0]:
            self._should_stop()
            if time.monotonic() > deadline:
                raise EmbeddedServerError(
                    f"reference server did not say it listens within {self._start_deadline_s:g} s "
                    f"({self._server_log(log) or 'it printed nothing'})"
                )
        line = process.stdout.readline()
        if "listening on" not in line:
            process.wait(timeout=STOP_DEADLINE_S)
            raise self._failure(line.strip() + " " + self._server_log(log))
        return line.rsplit(" ", 1)[1].strip()

    def _wait_until_answering(self, process: subprocess.Popen[str], log: TextIO) -> None:
        deadline = time.monotonic() + self._start_deadline_s
        while True:
            self._should_stop()
            _, result = tavrix.Corvane.get_server_information(self.address, QUERY_TIMEOUT_MS)
            if result == tavrix.Corvane.success:
                return
            if process.poll() is not None:
                raise EmbeddedServerError(
                    f"reference server exited with code {process.returncode}: {self._server_log(log)}"
                )
            if time.monotonic() > deadline:
                raise EmbeddedServerError(
                    f"reference server at {self.address} did not answer within {self._start_deadline_s:g} s "
                    f"({result.name})"
                )

    @property
    def pid(self) -> int | None:
        return self._process.pid if self._process else None

    def stop(self) -> None:
        """Stops the server (SIGTERM, then SIGKILL after a deadline); safe to
        call more than once."""
        process, self._process = self._process, None
        if process is not None:
            atexit.unregister(self.stop)
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=STOP_DEADLINE_S)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            if process.stdout is not None:
                process.stdout.close()
            if self._log is not None:
                self._log.close()
        self._release_folder()

    def _release_folder(self) -> None:
        if self._folder is not None:
            self._folder.cleanup()
            self._folder = None
        if self._lock is not None:
            self._lock.close()
            self._lock = None
