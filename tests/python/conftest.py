"""Fixtures of the tavrix tests: a reference server on an ipc:// path in the
test's temporary folder, and read dicts made from NumPy arrays."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tavrix
from corvane_cli.programs import find_program

SERVER_ENV = "CORVANE_REFERENCE_SERVER"
START_DEADLINE_S = 20.0


def _reference_server_path():
    path = os.environ.get(SERVER_ENV)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{SERVER_ENV} does not name the reference server executable")
    return path


class ReferenceServer:
    """One reference server process; stopped with SIGTERM at the end."""

    def __init__(self, folder, settings=None):
        self.socket = folder / "server.sock"
        command = [_reference_server_path(), "--listen", f"ipc://{self.socket}", "--verbosity", "0"]
        if settings is not None:
            config = folder / "settings.json"
            config.write_text(json.dumps(settings))
            command += ["--config", str(config)]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The server prints its endpoint once it is bound.
        line = self.process.stdout.readline()
        if "listening on" not in line:
            self.process.kill()
            raise RuntimeError(f"reference server did not start: {line!r} {self.process.stderr.read()!r}")
        self.address = line.rsplit(" ", 1)[1].strip()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.fixture
def start_server(tmp_path):
    """Starts a reference server, optionally with settings (a dict)."""
    started = []

    def start(settings=None, name="server"):
        folder = tmp_path / name
        folder.mkdir()
        server = ReferenceServer(folder, settings)
        started.append(server)
        return server.address

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def server(start_server):
    return start_server()


FAST_PARAMS = {"query_timeout": 2000, "reconnect_timeout": 1, "connection_timeout": 5000}


@pytest.fixture
def make_client():
    """Creates clients and disconnects whatever they left connected."""
    clients = []

    def make(address, config="ref_dna_fast", num_threads=1, params=None):
        client = tavrix.Corvane(address, config, num_threads)
        assert client.set_params(dict(FAST_PARAMS, **(params or {}))) == tavrix.Corvane.success
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.disconnect()


def make_read(tag, samples=None, **extra):
    """A valid read dict with the given samples (4000 by default)."""
    if samples is None:
        samples = np.random.default_rng(tag).integers(-2000, 2000, 4000, dtype=np.int16)
    read = {
        "read_tag": tag,
        "raw_data": samples,
        "read_id": f"read-{tag}",
        "daq_offset": 0.0,
        "daq_scaling": 1.0,
        "sampling_rate": 4000.0,
        "start_time": 0,
    }
    read.update(extra)
    return read


def small_read(changes=None):
    """A valid read of ten samples with `changes` made to it: a key given
    None is left out."""
    read = make_read(1, np.arange(10, dtype=np.int16), read_id="r")
    read.update(changes or {})
    return {key: value for key, value in read.items() if value is not None}


def simulated_reads(folder, count, length, seed, *extra):
    """Reads of the reference server's simulator (`corvane_simulate` with
    EXTRA options), as (read dict, the simulator's record of the read: its
    source, true sequence ...)."""
    path = folder / "reads.jsonl"
    command = [find_program("corvane_simulate"), "--reads", count, "--length", length, "--seed", seed, "-o", path]
    subprocess.run([*map(str, command), *map(str, extra)], check=True, capture_output=True)
    reads = []
    for tag, line in enumerate(path.read_text().splitlines()):
        record = json.loads(line)
        read = make_read(
            tag,
            np.asarray(record.pop("samples"), dtype=np.int16),
            **{key: float(record[key]) for key in ("daq_offset", "daq_scaling", "sampling_rate")},
            **{key: record[key] for key in ("read_id", "start_time", "channel", "mux", "run_id")},
        )
        reads.append((read, record))
    return reads


def collect(client, count, deadline_s=30.0):
    """Polls get_completed_reads until `count` groups came back."""
    groups = []
    deadline = time.monotonic() + deadline_s
    while len(groups) < count and time.monotonic() < deadline:
        groups += client.get_completed_reads()
        if len(groups) < count:
            time.sleep(0.005)  # polling interval, not synchronisation
    assert len(groups) == count, f"waited {deadline_s} s for {count} read groups, got {len(groups)}"
    return groups


def parse_states(text):
    """The JSON reports of get_internal_state, one per pool member."""
    decoder = json.JSONDecoder()
    reports, position = [], 0
    while True:
        position += len(text[position:]) - len(text[position:].lstrip())
        if position == len(text):
            return reports
        report, position = decoder.raw_decode(text, position)
        reports.append(report)


def corvane_script():
    """The `corvane` console script installed beside the interpreter running
    the tests (scripts/setup.sh installs it into .venv)."""
    path = shutil.which("corvane", path=os.path.dirname(sys.executable))
    if path is None:
        pytest.fail(f"no corvane console script beside {sys.executable}: run scripts/setup.sh")
    return path


def run_corvane(*args, timeout=120, **kwargs):
    """Runs `corvane ARGS...` to its end, capturing its output."""
    return subprocess.run(
        [corvane_script(), *map(str, args)], capture_output=True, text=True, timeout=timeout, **kwargs
    )


def simulate(folder, reads, length=400, seed=5, reference=None, name="reads.h5", *extra):
    """A signal file of simulated reads with their truths, by `corvane simulate`."""
    path = folder / name
    more = ["--reference", reference] if reference else []
    done = run_corvane(
        "simulate", "-n", reads, "--length-mean", length, "--fixed-length", "--seed", seed, "-o", path, *more, *extra
    )
    assert done.returncode == 0, done.stderr
    return path


def fastq_records(path):
    """Read name -> sequence of a FASTQ file, checking its shape."""
    lines = path.read_text().split("\n")
    assert lines[-1] == "", "a FASTQ file ends with a complete record"
    lines.pop()
    assert len(lines) % 4 == 0
    records = {}
    for i in range(0, len(lines), 4):
        header, sequence, plus, qstring = lines[i : i + 4]
        assert header.startswith("@") and plus == "+" and len(sequence) == len(qstring)
        records[header[1:].split("\t")[0]] = sequence
    return records


def wait_for(predicate, what, deadline_s=60.0):
    deadline = time.monotonic() + deadline_s
    while not predicate():
        assert time.monotonic() < deadline, f"waited {deadline_s} s for {what}"
        time.sleep(0.02)  # polling interval, not synchronisation


def interrupted(args, ready, what):
    """Runs `corvane ARGS...` and sends it SIGINT once ready() holds; it must
    still be running then, and end with code 130."""
    program = subprocess.Popen([corvane_script(), *map(str, args)], stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: ready() or program.poll() is not None, what)
        assert program.poll() is None, "the run ended before it was interrupted"
        program.send_signal(signal.SIGINT)
        assert program.wait(timeout=30) == 130, program.stderr.read()
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        program.stderr.close()
