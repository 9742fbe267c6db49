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
import zmq
from conftest import corvane_script, fastq_records, run_corvane, simulate, wait_for

COMPLEMENT = str.maketrans("ACGT", "TGCA")
DEADLINE_S = 60.0
# Where a signal must end a run that waits for a server that never answers:
# well before the 30 s it would otherwise wait.
STOP_DEADLINE_S = 10.0


def write_reference(path, seed=3):
    rng = np.random.default_rng(seed)
    with open(path, "w") as fasta:
        for name, length in (("chr_a", 30000), ("chr_b", 20000)):
            fasta.write(f">{name}\n{''.join(rng.choice(list('ACGT'), length))}\n")
    return path


def truths_of(path):
    with h5py.File(path) as file:
        return dict(zip(file["reads/read_id"].asstr()[:], file["reads/truth"].asstr()[:]))


def mapped_records(path):
    with pysam.AlignmentFile(str(path)) as file:
        return sum(1 for record in file.fetch(until_eof=True) if not record.is_unmapped)


def sam_sequences(path, reference=None):
    with pysam.AlignmentFile(str(path), check_sq=False, reference_filename=reference and str(reference)) as file:
        found = {}
        for record in file.fetch(until_eof=True):
            if record.is_secondary or record.is_supplementary:
                continue
            sequence = record.query_sequence
            found[record.query_name] = sequence.translate(COMPLEMENT)[::-1] if record.is_reverse else sequence
        return found, file.header.to_dict()


def summary_counts(text):
    """The summary's numbers by label ("reads in" ...)."""
    found = {}
    for line in text.splitlines():
        label, _, number = line.partition(": ")
        if label.startswith("reads ") and number.isdigit():
            found[label] = int(number)
    return found


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    reference = write_reference(folder / "genome.fa")
    return folder, reference, simulate(folder, 60, reference=reference)


@pytest.mark.parametrize(
    "name, aligned",
    [
        ("called.fastq", False),
        ("called.fq.gz", False),
        ("called.sam", False),
        ("called.bam", True),
        ("called.cram", True),
    ],
)
def test_every_sequence_equals_its_truth(tmp_path, inputs, name, aligned):
    _, reference, reads = inputs
    output = tmp_path / name
    extra = ["--reference", reference] if aligned else []
    done = run_corvane(
        "basecall",
        reads,
        "-o",
        output,
        "--summary",
        tmp_path / "summary.tsv",
        "--report",
        tmp_path / "report.png",
        *extra,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "", "standard output is kept for -o -"
    truths = truths_of(reads)
    if name.endswith(".gz"):
        pysam.fqidx(str(output))  # BGZF, so htslib indexes it
        with pysam.FastxFile(str(output)) as fastq:
            found = {record.name: record.sequence for record in fastq}
    elif "fastq" in name:
        found = fastq_records(output)
    else:
        found, header = sam_sequences(output, reference)
        assert header["PG"][-1]["ID"] == "corvane"
        if aligned:
            assert {sq["SN"] for sq in header["SQ"]} == {"chr_a", "chr_b"}
            index = ".crai" if name.endswith(".cram") else ".bai"
            assert header["HD"]["SO"] == "coordinate" and os.path.exists(f"{output}{index}")
    assert found == truths
    assert "identical to truth: 60/60 (100.00%)" in done.stderr
    if aligned and name.endswith(".bam") and mapped_records(output):
        assert "mean alignment identity: 1.0000" in done.stderr
    rows = (tmp_path / "summary.tsv").read_text().splitlines()
    assert rows[0].split("\t")[0] == "read_id" and len(rows) == 61
    assert (tmp_path / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not list(tmp_path.glob("*.partial"))


def test_split_reads_are_written_once(tmp_path):
    """A split read comes back as the whole read and its pieces: the pieces
    are written, each naming its parent, and the whole read is the one
    compared with the truth."""
    reads = simulate(tmp_path, 40, 400, 9, None, "split.h5", "--split-fraction", 0.5)
    done = run_corvane("basecall", reads, "-o", tmp_path / "called.sam")
    assert done.returncode == 0, done.stderr
    assert "identical to truth: 40/40 (100.00%)" in done.stderr
    with pysam.AlignmentFile(str(tmp_path / "called.sam"), check_sq=False) as sam:
        records = list(sam.fetch(until_eof=True))
    names = [record.query_name for record in records]
    parents = {record.get_tag("pi") for record in records if record.has_tag("pi")}
    ids = set(truths_of(reads))
    assert len(names) == len(set(names)) and parents and parents <= ids
    assert not parents & set(names), "a split read's whole read is not written beside its pieces"
    assert set(names) - ids and (set(names) & ids) | parents == ids
    pieces = len(names) - len(ids - parents)
    assert f"reads split: {len(parents)} (into {pieces} pieces" in done.stderr


def spoil_reads(path):
    """Gives read 1 an id a record cannot carry and read 2 no samples."""
    with h5py.File(path, "r+") as file:
        file["reads/read_id"][1] = "bad id"
        file["reads/length"][2] = 0
    ids = truths_of(path)
    return list(ids)[1], list(ids)[2]


def spoil_read_table(path):
    with h5py.File(path, "r+") as file:
        del file["reads/read_id"]
        file["reads/read_id"] = np.array([b"\xff\xfe"] * 20, dtype=h5py.string_dtype("utf-8"))
    return path


def spoil_last_signal_chunk(path):
    """Overwrites the middle of the last compressed chunk of the samples."""
    with h5py.File(path) as file:
        signal = file["signal"]
        chunks = signal.id.get_num_chunks()
        assert chunks >= 3, "reads before the damage are called"
        info = signal.id.get_chunk_info(chunks - 1)
    with open(path, "r+b") as file:
        file.seek(info.byte_offset + info.size // 2)
        file.write(b"\xff" * 64)
    return path


def start_basecall(tmp_path, *args):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    return subprocess.Popen(
        [corvane_script(), "basecall", *map(str, args)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def server_settings(folder, latency_ms=0, **data_plane):
    path = folder / "server.json"
    path.write_text(json.dumps({"data_plane": {"latency_ms_per_read": latency_ms, **data_plane}}))
    return path


def test_bad_inputs_end_with_clear_errors(tmp_path, inputs):
    reads = simulate(tmp_path, 20, name="few.h5")
    corrupt = tmp_path / "corrupt.h5"
    corrupt.write_bytes(reads.read_bytes()[:2000])
    spoiled = simulate(tmp_path, 20, name="spoiled.h5")
    bad_id, empty = spoil_reads(spoiled)
    damaged = spoil_read_table(simulate(tmp_path, 20, name="damaged.h5"))
    mid_file = spoil_last_signal_chunk(simulate(tmp_path, 600, 400, name="mid_file.h5"))
    bad_settings = tmp_path / "settings.json"
    bad_settings.write_text('{"faults": [{"request": "NO_SUCH_KIND"}]}')
    unparsable = tmp_path / "unparsable.json"
    unparsable.write_text('{"faults": ')
    out = tmp_path / "out.fastq"
    cases = [
        # (arguments, exit code, texts on stderr, texts that must not be there)
        ([tmp_path / "missing.h5", "-o", out], 2, [str(tmp_path / "missing.h5"), "no such file"], []),
        ([corrupt, "-o", out], 2, [str(corrupt)], ["buf =", "Traceback"]),
        # A folder stands for its signal files: the damaged one is named.
        ([tmp_path, "-o", out], 2, [f"{corrupt}: not a readable signal file"], ["buf =", "Traceback"]),
        ([damaged, "-o", out], 2, [str(damaged), "read_id"], ["Traceback"]),
        (
            [mid_file, "-o", tmp_path / "mid.fastq"],
            2,
            [str(mid_file), "signal unreadable", "kept as"],
            ["Traceback", "0 records"],
        ),
        ([reads, "-o", tmp_path / "out.txt"], 2, ["output format"], []),
        ([reads, "-o", tmp_path / "out.bam", "--format", "sam"], 2, ["contradicts"], []),
        (
            [reads, "-o", out, "--server-settings", bad_settings],
            2,
            [str(bad_settings), "NO_SUCH_KIND"],
            ["corvane-server-", "Traceback"],
        ),
        # The private server comes up while the inputs are opened, but an
        # input's fault is still the one reported.
        ([corrupt, "-o", out, "--server-settings", bad_settings], 2, [str(corrupt)], [str(bad_settings), "Traceback"]),
        ([corrupt, "-o", out, "--server-settings", unparsable], 2, [str(corrupt)], [str(unparsable), "Traceback"]),
        (
            [reads, "-o", out, "--config", "no_such_config"],
            2,
            ["no_such_config", "ref_dna_fast, ref_dna_accurate"],
            ["ipc://"],
        ),
        ([reads, "-o", out, "--barcode-kits", "NO-KIT"], 2, ["NO-KIT", "KIT-12, KIT-24"], ["ipc://"]),
        (
            [spoiled, "-o", out],
            1,
            [
                "reads failed: 2",
                f"failed: {empty}: no samples",
                "failed: bad id: Invalid data in ReadHolder object: read_id holds",
            ],
            [],
        ),
        (
            [reads, "-o", out, "--server", f"ipc://{tmp_path}/nobody.sock", "--reconnect-timeout", "1"],
            2,
            [f"ipc://{tmp_path}/nobody.sock"],
            [],
        ),
        ([reads, "-o", "/dev/full", "--format", "fastq"], 1, ["/dev/full", "No space left on device"], []),
    ]
    for args, code, texts, absent in cases:
        done = run_corvane("basecall", *args)
        assert done.returncode == code, (args, done.stderr)
        for text in texts:
            assert text in done.stderr, (args, text, done.stderr)
        for text in absent:
            assert text not in done.stderr, (args, text, done.stderr)
        if code == 2:
            ours = [line for line in done.stderr.splitlines() if line.startswith("corvane basecall:")]
            assert len(ours) == 1, (args, done.stderr)
    # The spoiled file's good reads were all written, and so were the reads
    # of the damaged file read before the damage.
    assert len(fastq_records(out)) == 18
    written = len(fastq_records(tmp_path / "mid.fastq.partial"))
    assert 0 < written < 600 and not (tmp_path / "mid.fastq").exists()


def control(address, command):
    """Sends a JSON command to a reference server's control socket."""
    with zmq.Context() as context, context.socket(zmq.REQ) as socket:
        socket.setsockopt(zmq.LINGER, 0)
        socket.setsockopt(zmq.RCVTIMEO, int(DEADLINE_S * 1000))
        socket.connect(address)
        socket.send_string(json.dumps(command))
        return json.loads(socket.recv_string())


def run_server(tmp_path, settings, name="server"):
    """`corvane server` on ipc:// with a control socket; (process, address,
    control address)."""
    address, control_address = f"ipc://{tmp_path}/{name}.sock", f"ipc://{tmp_path}/{name}-control.sock"
    server = subprocess.Popen(
        [
            corvane_script(),
            "server",
            "--listen",
            address,
            "--control",
            control_address,
            "--verbosity",
            "0",
            "--settings",
            settings,
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert "listening on" in server.stdout.readline()
    return server, address, control_address


def test_every_read_is_accounted_for_when_faults_hit(tmp_path):
    # Reads of varied length; the server takes all but the longest.
    varied = tmp_path / "varied.h5"
    done = run_corvane("simulate", "-n", 30, "--length-mean", 200, "--seed", 11, "-o", varied)
    assert done.returncode == 0, done.stderr
    with h5py.File(varied) as file:
        lengths = file["reads/length"][:]
        longest = file["reads/read_id"].asstr()[int(np.argmax(lengths))]
    assert int(np.argmax(lengths)) not in (0, 29) and (lengths == lengths.max()).sum() == 1
    limit = server_settings(tmp_path, max_read_samples=int(lengths.max()) - 1)
    many = simulate(tmp_path, 1000, 100, name="many.h5")

    def oversize():
        done = run_corvane("basecall", varied, "-o", tmp_path / "varied.fastq", "--server-settings", limit)
        return done, tmp_path / "varied.fastq", 30

    def server_stopped():
        # Four reads at a time, each called in 100 ms: the run would take
        # about 25 s, far longer than the first records take to appear.
        server, address, control_address = run_server(tmp_path, server_settings(tmp_path, 100))
        try:
            options = ["--server", address, "--reconnect-timeout", 1, "--max-reads-in-flight", 4]
            run = start_basecall(tmp_path, many, "-o", tmp_path / "many.fastq", *options)
            partial = tmp_path / "many.fastq.partial"
            wait_for(lambda: partial.exists() and partial.stat().st_size > 0, "the first records")
            assert control(control_address, {"command": "stop"}) == {"ok": True}
            server.wait(timeout=DEADLINE_S)
            stdout, stderr = run.communicate(timeout=DEADLINE_S)
        finally:
            server.kill()
            server.wait()
        return subprocess.CompletedProcess(run.args, run.returncode, stdout, stderr), tmp_path / "many.fastq", 1000

    rows = [
        # (how, exit code, output complete, texts on stderr, reads failed (None: some), some reads not sent)
        (oversize, 1, True, [f"failed: {longest}: refused by the server", "declares"], 1, False),
        (server_stopped, 1, False, ["server lost", "the run is incomplete"], None, True),
    ]
    for how, code, complete, texts, failed, unsent in rows:
        done, output, total = how()
        assert done.returncode == code, (how.__name__, done.stderr)
        for text in texts:
            assert text in done.stderr, (how.__name__, text, done.stderr)
        counts = summary_counts(done.stderr)
        assert counts["reads in"] == total, (how.__name__, counts)
        ends = ("reads out with results", "reads out without results", "reads failed", "reads not sent")
        assert sum(counts[end] for end in ends) == total, (how.__name__, counts)
        assert (counts["reads not sent"] > 0) == unsent, (how.__name__, counts)
        assert failed is None or counts["reads failed"] == failed, (how.__name__, counts)
        written = fastq_records(output if complete else output.with_name(output.name + ".partial"))
        assert output.exists() == complete, how.__name__
        assert len(written) == counts["reads out with results"], how.__name__


def silent_server(path):
    """A ZeroMQ socket bound at `path` that takes requests and never
    answers: a server that hangs."""
    context = zmq.Context()
    socket = context.socket(zmq.ROUTER)
    socket.setsockopt(zmq.LINGER, 0)
    socket.bind(f"ipc://{path}")
    return context, socket


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_ends_a_run_waiting_for_its_server(tmp_path, number):
    reads = simulate(tmp_path, 4)
    context, socket = silent_server(tmp_path / "silent.sock")
    try:
        options = ["--server", f"ipc://{tmp_path}/silent.sock", "--reconnect-timeout", 30]
        run = start_basecall(tmp_path, reads, "-o", tmp_path / "out.fastq", *options)
        assert socket.poll(int(DEADLINE_S * 1000)), "the run asks the server"
        socket.recv_multipart()
        run.send_signal(number)
        _, stderr = run.communicate(timeout=STOP_DEADLINE_S)
    finally:
        run.kill()
        socket.close()
        context.term()
    assert run.returncode == 130, stderr
    assert "interrupted" in stderr
    assert not list(tmp_path.glob("out.fastq*"))


def test_duplicate_read_ids_are_refused_or_failed(tmp_path):
    first = simulate(tmp_path, 10, 100, 3, None, "first.h5")
    more = simulate(tmp_path, 15, 100, 3, None, "more.h5")  # the same seed: its first ten ids are first.h5's
    shared = set(truths_of(first)) & set(truths_of(more))
    assert len(shared) == 10
    within = simulate(tmp_path, 5, 100, 4, None, "within.h5")
    with h5py.File(within, "r+") as file:
        file["reads/read_id"][3] = file["reads/read_id"][1]
    done = run_corvane("basecall", first, more, "-o", tmp_path / "out.fastq")
    assert done.returncode == 1, done.stderr
    assert len(fastq_records(tmp_path / "out.fastq")) == 15
    assert "reads in: 25" in done.stderr and "reads failed: 10" in done.stderr
    for read_id in shared:
        assert f"failed: {read_id}: read id given again (first in {first})" in done.stderr
    for args, text in [((first, first), "given twice"), ((within,), "appears twice (reads 1 and 3)")]:
        done = run_corvane("basecall", *args, "-o", tmp_path / "again.fastq")
        assert done.returncode == 2 and text in done.stderr, done.stderr
        assert not list(tmp_path.glob("again.fastq*"))


MASK = (1 << 64) - 1


def reference_barcode(index):
    """The sequence of the reference server's barcode `index` (its seeded
    stream: FNV-1a of "barcode" plus the index, then splitmix64)."""
    state = 0xCBF29CE484222325
    for byte in b"barcode":
        state = ((state ^ byte) * 0x100000001B3) & MASK
    state = (state + index) & MASK
    bases = []
    for _ in range(24):
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        bases.append("ACGT"[(z ^ (z >> 31)) % 4])
    return "".join(bases)


def test_sam_records_carry_the_read_groups_of_the_fastq_headers(tmp_path):
    # Each contig starts with a barcode and ends with its reverse complement,
    # so that a read of the whole contig starts with it on either strand.
    rng = np.random.default_rng(1)
    with open(tmp_path / "barcoded.fa", "w") as fasta:
        for index in (1, 2):
            code = reference_barcode(index)
            fasta.write(
                f">bc{index}\n{code}{''.join(rng.choice(list('ACGT'), 300))}{code.translate(COMPLEMENT)[::-1]}\n"
            )
    reads = simulate(tmp_path, 12, 348, 2, tmp_path / "barcoded.fa")
    groups = {}
    for name in ("called.fastq", "called.sam"):
        done = run_corvane("basecall", reads, "-o", tmp_path / name, "--barcode-kits", "KIT-12")
        assert done.returncode == 0, done.stderr
    for line in (tmp_path / "called.fastq").read_text().splitlines()[::4]:
        fields = line[1:].split("\t")
        groups[fields[0]] = next(field[5:] for field in fields if field.startswith("RG:Z:"))
    with pysam.AlignmentFile(str(tmp_path / "called.sam"), check_sq=False) as sam:
        header = {entry["ID"]: entry for entry in sam.header.to_dict()["RG"]}
        records = list(sam.fetch(until_eof=True))
    assert {record.query_name: record.get_tag("RG") for record in records} == groups
    barcodes = {record.get_tag("BC") for record in records}
    assert barcodes == {"barcode01", "barcode02"}
    for record in records:
        group = header[record.get_tag("RG")]
        assert group["ID"].endswith("_" + record.get_tag("BC"))
        assert group["SM"] == group["BC"] == record.get_tag("BC")
    assert any(entry["ID"].endswith("_unclassified") and "BC" not in entry for entry in header.values())


def test_a_compressed_reference_aligns_on_either_server(tmp_path, inputs, start_server):
    _, reference, reads = inputs
    packed = tmp_path / "genome.fa.gz"
    with open(reference, "rb") as plain, pysam.BGZFile(str(packed), "wb") as gz:
        gz.write(plain.read())
    records = []
    for extra in ([], ["--server", start_server()]):
        output = tmp_path / f"aligned{len(records)}.sam"
        done = run_corvane("basecall", reads, "-o", output, "--reference", packed, *extra)
        assert done.returncode == 0, done.stderr
        with pysam.AlignmentFile(str(output)) as sam:
            records.append(
                sorted(
                    (r.query_name, r.reference_name, r.reference_start, r.cigarstring)
                    for r in sam.fetch(until_eof=True)
                )
            )
            assert {sq["SN"] for sq in sam.header.to_dict()["SQ"]} == {"chr_a", "chr_b"}
    assert records[0] == records[1] and any(name for _, name, _, _ in records[0])


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


@pytest.mark.parametrize(
    "number, code, said, orderly, left_behind",
    [
        # Ctrl-C, an orderly stop: the private server is stopped and its
        # folder removed before the run ends, the output whole records.
        (signal.SIGINT, 130, ["interrupted", "{partial}"], True, 0),
        # Killed: the server follows its command and leaves its folder,
        # which the next run removes.
        (signal.SIGKILL, -signal.SIGKILL, [], False, 1),
    ],
    ids=["ctrl-c", "killed"],
)
def test_a_stopped_run_keeps_its_output_and_leaves_no_server(tmp_path, number, code, said, orderly, left_behind):
    reads = simulate(tmp_path, 1000, length=100)
    partial = tmp_path / "out.fastq.partial"
    options = ["--server-settings", server_settings(tmp_path, 100), "--max-reads-in-flight", 4]
    run = start_basecall(tmp_path, reads, "-o", tmp_path / "out.fastq", *options, "--summary", tmp_path / "summary.tsv")

    def servers():
        return processes_naming(f"{tmp_path}/corvane-server-")

    wait_for(lambda: partial.exists() and partial.stat().st_size > 0, "the first records")
    assert servers(), "the private server runs"
    run.send_signal(number)
    _, stderr = run.communicate(timeout=DEADLINE_S)
    assert run.returncode == code, stderr
    for text in said:
        assert text.format(partial=partial) in stderr, (text, stderr)
    assert not (orderly and servers()), "the private server is stopped"
    wait_for(lambda: not servers(), "the server to follow its command")
    assert not (tmp_path / "out.fastq").exists() and not (tmp_path / "summary.tsv").exists()
    assert (tmp_path / "summary.tsv.partial").exists()
    if orderly:  # a killed run may have left a record half written
        assert 0 < len(fastq_records(partial)) < 1000
    left = list(tmp_path.glob("corvane-server-*"))
    assert len(left) == left_behind, left
    for folder in left:
        os.utime(folder, (time.time() - 3600,) * 2)  # not one being made just now
    done = run_corvane(
        "basecall",
        simulate(tmp_path, 2, name="two.h5"),
        "-o",
        tmp_path / "two.fastq",
        env=dict(os.environ, TMPDIR=str(tmp_path)),
    )
    assert done.returncode == 0, done.stderr
    assert not list(tmp_path.glob("corvane-server-*"))


def test_query_answers_from_a_server(tmp_path):
    server, address, _ = run_server(tmp_path, server_settings(tmp_path))
    try:
        kits = run_corvane("query", address, "kits")
        assert kits.returncode == 0, kits.stderr
        assert all("kit_name" in kit for kit in json.loads(kits.stdout))
        assert "lifetime_reads_in" in json.loads(run_corvane("query", address, "stats").stdout)
    finally:
        server.terminate()
        server.wait(timeout=DEADLINE_S)
    assert server.returncode == 0
    assert not (tmp_path / "server.sock").exists(), "the server's socket file goes with it"
    gone = run_corvane("query", address, "info", "--timeout", "200")
    assert gone.returncode == 1 and "timed_out" in gone.stderr
