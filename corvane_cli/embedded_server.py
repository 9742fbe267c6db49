"""A reference server run privately for one command: on an ipc:// endpoint
in a temporary folder, stopped when the command ends, however it ends."""

import atexit
import ctypes
import json
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import tavrix

from corvane_cli.programs import find_program

START_DEADLINE_S = 30.0
STOP_DEADLINE_S = 10.0
QUERY_TIMEOUT_MS = 500

# Calls answered at once, so that the server never sets the pace.
ZERO_LATENCY = {"data_plane": {"latency_ms_per_read": 0, "latency_ms_per_1000_samples": 0}}

_PR_SET_PDEATHSIG = 1


def reference_index_setting(fasta):
    """The settings entry that makes the server know a FASTA file as an
    alignment index, with @SQ lines of its records."""
    lines, name, length = [], None, 0
    with open(fasta) as file:
        for line in file:
            if line.startswith(">"):
                if name is not None:
                    lines.append(f"@SQ\tSN:{name}\tLN:{length}")
                name, length = line[1:].split(maxsplit=1)[0] if line[1:].strip() else "", 0
            else:
                length += len(line.strip())
    if name is not None:
        lines.append(f"@SQ\tSN:{name}\tLN:{length}")
    if not lines:
        raise ValueError(f"{fasta}: no FASTA records")
    return {"path": str(Path(fasta).resolve()), "header": "\n".join(lines) + "\n"}


class EmbeddedServerError(RuntimeError):
    """The private server could not be started."""


def _die_with_parent():
    # Runs in the child before exec: the server gets SIGTERM when this
    # process dies, even by SIGKILL, so no server outlives its command.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class EmbeddedServer:
    """Context manager: starts the reference server, waits until it answers
    a query, and stops it on leaving (also on an exception or Ctrl-C, and
    at interpreter exit should the context be skipped)."""

    def __init__(self, settings=None, zero_latency=True, program=None):
        self._settings = dict(ZERO_LATENCY if zero_latency else {})
        self._settings.update(settings or {})
        self._program = program or find_program("reference_server")
        self._folder = None
        self._process = None
        self.address = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._folder = tempfile.TemporaryDirectory(prefix="corvane-server-")
        folder = Path(self._folder.name)
        command = [self._program, "--listen", f"ipc://{folder / 'server.sock'}", "--verbosity", "0"]
        if self._settings:
            settings = folder / "settings.json"
            settings.write_text(json.dumps(self._settings))
            command += ["--config", str(settings)]
        log = open(folder / "server.log", "w+")
        try:
            # A session of its own: Ctrl-C in the terminal reaches the command,
            # which then stops the server in order.
            self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                                             text=True, start_new_session=True, preexec_fn=_die_with_parent)
        except OSError as error:
            log.close()
            self._folder.cleanup()
            raise EmbeddedServerError(f"cannot run {self._program}: {error}") from error
        self._log = log
        atexit.register(self.stop)
        try:
            self.address = self._wait_until_listening()
            self._wait_until_answering()
        except BaseException:
            self.stop()
            raise

    def _server_log(self):
        self._log.seek(0)
        return self._log.read().strip()

    def _wait_until_listening(self):
        # The server prints its endpoint once bound, or exits saying why not.
        line = self._process.stdout.readline()
        if "listening on" not in line:
            self._process.wait(timeout=STOP_DEADLINE_S)
            raise EmbeddedServerError(f"reference server did not start: {(line.strip() + ' ' + self._server_log()).strip()}")
        return line.rsplit(" ", 1)[1].strip()

    def _wait_until_answering(self):
        deadline = time.monotonic() + START_DEADLINE_S
        while True:
            _, result = tavrix.Corvane.get_server_information(self.address, QUERY_TIMEOUT_MS)
            if result == tavrix.Corvane.success:
                return
            if self._process.poll() is not None:
                raise EmbeddedServerError(f"reference server exited with code {self._process.returncode}: "
                                          f"{self._server_log()}")
            if time.monotonic() > deadline:
                raise EmbeddedServerError(f"reference server at {self.address} did not answer within "
                                          f"{START_DEADLINE_S:.0f} s ({result.name})")

    @property
    def pid(self):
        return self._process.pid if self._process else None

    def stop(self):
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
            process.stdout.close()
            self._log.close()
        if self._folder is not None:
            self._folder.cleanup()
            self._folder = None
