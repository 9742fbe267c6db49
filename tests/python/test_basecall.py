"""`corvane basecall`, `server` and `query` through the installed console
script, on simulated reads whose true sequences are known."""

import json
import os
import signal
import subprocess
import time

import h5py
import numpy as np
import pysam
import pytest

from conftest import corvane_script, run_corvane

COMPLEMENT = str.maketrans("ACGT", "TGCA")
DEADLINE_S = 60.0


def write_reference(path, seed=3):
    rng = np.random.default_rng(seed)
    with open(path, "w") as fasta:
        for name, length in (("chr_a", 30000), ("chr_b", 20000)):
            fasta.write(f">{name}\n{''.join(rng.choice(list('ACGT'), length))}\n")
    return path


def simulate(folder, reads, length=400, seed=5, reference=None, name="reads.h5"):
    """A signal file of simulated reads with their truths, by `corvane simulate`."""
    path = folder / name
    extra = ["--reference", reference] if reference else []
    done = run_corvane("simulate", "-n", reads, "--length-mean", length, "--fixed-length", "--seed", seed,
                       "-o", path, *extra)
    assert done.returncode == 0, done.stderr
    return path


def truths_of(path):
    with h5py.File(path) as file:
        return dict(zip(file["reads/read_id"].asstr()[:], file["reads/truth"].asstr()[:]))


def fastq_records(path):
    lines = path.read_text().split("\n")
    assert lines[-1] == "", "a FASTQ file ends with a complete record"
    lines.pop()
    assert len(lines) % 4 == 0
    records = {}
    for i in range(0, len(lines), 4):
        header, sequence, plus, qstring = lines[i:i + 4]
        assert header.startswith("@") and plus == "+" and len(sequence) == len(qstring)
        records[header[1:].split("\t")[0]] = sequence
    return records


def mapped_records(path):
    with pysam.AlignmentFile(str(path)) as file:
        return sum(1 for record in file.fetch(until_eof=True) if not record.is_unmapped)


def sam_sequences(path):
    with pysam.AlignmentFile(str(path), check_sq=False) as file:
        found = {}
        for record in file.fetch(until_eof=True):
            if record.is_secondary or record.is_supplementary:
                continue
            sequence = record.query_sequence
            found[record.query_name] = sequence.translate(COMPLEMENT)[::-1] if record.is_reverse else sequence
        return found, file.header.to_dict()


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    reference = write_reference(folder / "genome.fa")
    return folder, reference, simulate(folder, 60, reference=reference)


@pytest.mark.parametrize("extension, aligned", [("fastq", False), ("sam", False), ("bam", True)])
def test_every_sequence_equals_its_truth(tmp_path, inputs, extension, aligned):
    _, reference, reads = inputs
    output = tmp_path / f"called.{extension}"
    extra = ["--reference", reference] if aligned else []
    done = run_corvane("basecall", reads, "-o", output, "--summary", tmp_path / "summary.tsv",
                       "--report", tmp_path / "report.png", *extra)
    assert done.returncode == 0, done.stderr
    truths = truths_of(reads)
    if extension == "fastq":
        found = fastq_records(output)
    else:
        found, header = sam_sequences(output)
        assert header["PG"][-1]["ID"] == "corvane"
        if aligned:
            assert {sq["SN"] for sq in header["SQ"]} == {"chr_a", "chr_b"}
            assert header["HD"]["SO"] == "coordinate" and os.path.exists(f"{output}.bai")
    assert found == truths
    assert "identical to truth: 60/60 (100.00%)" in done.stdout
    if aligned and mapped_records(output):
        assert "mean alignment identity: 1.0000" in done.stdout
    rows = (tmp_path / "summary.tsv").read_text().splitlines()
    assert rows[0].split("\t")[0] == "read_id" and len(rows) == 61
    assert (tmp_path / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not list(tmp_path.glob("*.partial"))


def test_split_reads_are_judged_by_their_whole_read(tmp_path):
    """A split read comes back as the whole read followed by its pieces; the
    whole read is the one compared with the truth."""
    reads = tmp_path / "split.h5"
    done = run_corvane("simulate", "-n", 40, "--length-mean", 400, "--fixed-length", "--seed", 9,
                       "--split-fraction", 0.5, "-o", reads)
    assert done.returncode == 0, done.stderr
    done = run_corvane("basecall", reads, "-o", tmp_path / "called.fastq")
    assert done.returncode == 0, done.stderr
    assert "identical to truth: 40/40 (100.00%)" in done.stdout
    found = fastq_records(tmp_path / "called.fastq")
    assert len(found) > 40, "the pieces of split reads are written too"


def spoil_reads(path):
    """Gives read 1 an id a record cannot carry and read 2 no samples."""
    with h5py.File(path, "r+") as file:
        file["reads/read_id"][1] = "bad id"
        file["reads/length"][2] = 0
    ids = truths_of(path)
    return list(ids)[1], list(ids)[2]


def server_settings(folder, latency_ms):
    path = folder / "slow.json"
    path.write_text(json.dumps({"data_plane": {"latency_ms_per_read": latency_ms}}))
    return path


def wait_for(predicate, what, deadline_s=DEADLINE_S):
    deadline = time.monotonic() + deadline_s
    while not predicate():
        assert time.monotonic() < deadline, f"waited {deadline_s} s for {what}"
        time.sleep(0.02)  # polling interval, not synchronisation


def processes_naming(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if text.encode() in cmdline.read():
                    found.append(int(pid))
        except OSError:
            continue
    return found


def start_basecall(tmp_path, *args):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    return subprocess.Popen([corvane_script(), "basecall", *map(str, args)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def test_bad_inputs_end_with_clear_errors(tmp_path, inputs):
    folder, _, _ = inputs
    reads = simulate(tmp_path, 20, name="few.h5")
    corrupt = tmp_path / "corrupt.h5"
    corrupt.write_bytes(reads.read_bytes()[:2000])
    spoiled = simulate(tmp_path, 20, name="spoiled.h5")
    bad_id, empty = spoil_reads(spoiled)
    out = tmp_path / "out.fastq"
    cases = [
        # (arguments, exit code, texts on stderr or stdout)
        ([tmp_path / "missing.h5", "-o", out], 2, [str(tmp_path / "missing.h5"), "no such file"]),
        ([corrupt, "-o", out], 2, [str(corrupt)]),
        ([reads, "-o", tmp_path / "out.txt"], 2, ["output format"]),
        ([spoiled, "-o", out], 1, ["reads failed: 2", f"failed: {empty}: no samples",
                                   "failed: bad id: read id holds"]),
        ([reads, "-o", out, "--server", f"ipc://{tmp_path}/nobody.sock", "--reconnect-timeout", "1"], 2,
         [f"ipc://{tmp_path}/nobody.sock"]),
        ([reads, "-o", "/dev/full", "--format", "fastq"], 1, ["/dev/full", "No space left on device"]),
    ]
    for args, code, texts in cases:
        done = run_corvane("basecall", *args)
        shown = done.stdout + done.stderr
        assert done.returncode == code, (args, shown)
        for text in texts:
            assert text in shown, (args, text, shown)
    # The spoiled file's good reads were all written.
    assert len(fastq_records(out)) == 18


def test_a_server_that_stops_ends_the_run_with_the_reads_missing(tmp_path):
    reads = simulate(tmp_path, 1000, length=100)
    address = f"ipc://{tmp_path}/server.sock"
    server = subprocess.Popen([corvane_script(), "server", "--listen", address, "--verbosity", "0",
                               "--config", server_settings(tmp_path, 100)], stdout=subprocess.PIPE, text=True)
    try:
        assert "listening on" in server.stdout.readline()
        # Four reads at a time, each called in 100 ms: the run would take
        # about 25 s, far longer than the first records take to appear.
        run = start_basecall(tmp_path, reads, "-o", tmp_path / "out.fastq", "--server", address,
                             "--reconnect-timeout", "2", "--max-reads-in-flight", "4")
        wait_for(lambda: (tmp_path / "out.fastq.partial").exists()
                 and (tmp_path / "out.fastq.partial").stat().st_size > 0, "the first records")
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=DEADLINE_S)
        stdout, stderr = run.communicate(timeout=DEADLINE_S)
    finally:
        server.kill()
        server.wait()
    assert run.returncode == 1, stderr
    assert "server lost" in stderr and "reads did not return" in stderr
    written = len(fastq_records(tmp_path / "out.fastq"))
    assert 0 < written < 1000
    assert f"reads out with results: {written}" in stdout


def test_ctrl_c_stops_the_server_and_keeps_valid_output(tmp_path):
    reads = simulate(tmp_path, 1000, length=100)
    partial = tmp_path / "out.fastq.partial"
    run = start_basecall(tmp_path, reads, "-o", tmp_path / "out.fastq", "--server-settings",
                         server_settings(tmp_path, 100), "--max-reads-in-flight", "4")
    wait_for(lambda: partial.exists() and partial.stat().st_size > 0, "the first records")
    assert processes_naming(f"{tmp_path}/corvane-server-"), "the private server runs"
    run.send_signal(signal.SIGINT)
    _, stderr = run.communicate(timeout=DEADLINE_S)
    assert run.returncode == 130, stderr
    assert "interrupted" in stderr and str(partial) in stderr
    assert not processes_naming(f"{tmp_path}/corvane-server-"), "the private server is stopped"
    assert 0 < len(fastq_records(partial)) < 1000
    assert not (tmp_path / "out.fastq").exists()


def test_query_answers_from_a_server(tmp_path):
    address = f"ipc://{tmp_path}/server.sock"
    server = subprocess.Popen([corvane_script(), "server", "--listen", address, "--verbosity", "0"],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert "listening on" in server.stdout.readline()
        kits = run_corvane("query", address, "kits")
        assert kits.returncode == 0, kits.stderr
        assert all("kit_name" in kit for kit in json.loads(kits.stdout))
        assert "lifetime_reads_in" in json.loads(run_corvane("query", address, "stats").stdout)
    finally:
        server.terminate()
        server.wait(timeout=DEADLINE_S)
    gone = run_corvane("query", address, "info", "--timeout", "200")
    assert gone.returncode == 1 and "timed_out" in gone.stderr
