"""Where `corvane basecall` (and `simulate`, `convert`) write, through the
installed console script: never over an input, a link or a device, checked
before the run, standard output for -o -, and .partial until complete."""

import os
import subprocess

import numpy as np
import pytest
from conftest import corvane_script, run_corvane, simulate


@pytest.fixture(scope="module")
def reads(tmp_path_factory):
    return simulate(tmp_path_factory.mktemp("reads"), 12, 200)


def records_in(data):
    """How many records samtools reads from a SAM text or BAM stream."""
    done = subprocess.run(["samtools", "view", "-c", "-"], input=data, capture_output=True)
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


def test_outputs_are_safe_and_checked_before_the_run(tmp_path, reads):
    folder = tmp_path
    real = folder / "real.sam"
    real.write_text("old\n")
    link = folder / "link.sam"
    link.symlink_to(real)
    twin = folder / "twin.h5"
    os.link(reads, twin)
    stale = folder / "stale.fastq"
    not_a_folder = folder / "file.txt"
    not_a_folder.write_text("")
    reads_bytes = reads.read_bytes()

    def basecall(*args, **kwargs):
        return subprocess.run(
            [corvane_script(), "basecall", reads, *map(str, args)], capture_output=True, timeout=120, **kwargs
        )

    rows = [
        # (what, arguments, exit code, texts on stderr, check afterwards)
        (
            "through a link: written in place, the link kept",
            ["-o", link],
            0,
            [],
            lambda out: (
                link.is_symlink() and real.read_text().startswith("@HD") and not (folder / "link.sam.partial").exists()
            ),
        ),
        (
            "-o - is SAM on standard output",
            ["-o", "-"],
            0,
            ["reads in: 12"],
            lambda out: records_in(out) == 12 and b"reads in" not in out,
        ),
        (
            "-o - --format bam is BAM on standard output",
            ["-o", "-", "--format", "bam"],
            0,
            ["reads in: 12"],
            lambda out: out[:2] == b"\x1f\x8b" and records_in(out) == 12,
        ),
        (
            "the input as output",
            ["-o", reads, "--format", "fastq"],
            2,
            ["would overwrite the input"],
            lambda out: reads.read_bytes() == reads_bytes,
        ),
        (
            "the input under another name",
            ["-o", twin, "--format", "fastq"],
            2,
            ["would overwrite the input"],
            lambda out: twin.read_bytes() == reads_bytes,
        ),
        (
            "the summary over the output",
            ["-o", stale, "--summary", stale],
            2,
            ["would overwrite the output"],
            lambda out: not stale.exists(),
        ),
        ("a folder as output", ["-o", folder, "--format", "sam"], 2, ["is a folder"], lambda out: True),
        (
            "an unwritable report",
            ["-o", stale, "--report", not_a_folder / "r.png"],
            2,
            [str(not_a_folder / "r.png")],
            lambda out: not list(folder.glob("stale.fastq*")),
        ),
        (
            "an unwritable summary",
            ["-o", stale, "--summary", folder / "none" / "s.tsv"],
            2,
            ["no such folder"],
            lambda out: not list(folder.glob("stale.fastq*")),
        ),
        (
            "an unreachable scheduler",
            ["-o", stale, "--dask", "tcp://127.0.0.1:9", "--server", "ipc:///nowhere", "--reconnect-timeout", 1],
            2,
            ["Dask scheduler"],
            lambda out: not list(folder.glob("stale.fastq*")),
        ),
    ]
    for what, args, code, texts, check in rows:
        done = basecall(*args)
        stderr = done.stderr.decode()
        assert done.returncode == code, (what, stderr)
        for text in texts:
            assert text in stderr, (what, text, stderr)
        assert check(done.stdout), what
        assert not list(folder.glob("*.partial")), what
    # Signal files need a file of their own: a link is refused, not replaced.
    for args in (["simulate", "-n", 2, "-o", link], ["simulate", "-n", 2, "-o", "-"]):
        done = run_corvane(*args)
        assert done.returncode == 2 and "not" in done.stderr, done.stderr
        assert link.is_symlink() and not (folder / "-").exists()
    arrays = folder / "arrays.npz"
    np.savez(arrays, r0=np.arange(5, dtype=np.int16))
    (folder / "meta.csv").write_text("read_id,daq_offset,daq_scaling,sampling_rate\nr0,0,1,4000\n")
    done = run_corvane("convert", arrays, "--metadata", folder / "meta.csv", "-o", arrays)
    assert done.returncode == 2 and "would overwrite the input" in done.stderr, done.stderr
    with np.load(arrays) as kept:
        assert list(kept["r0"]) == [0, 1, 2, 3, 4]
