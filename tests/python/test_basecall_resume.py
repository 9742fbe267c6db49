"""`corvane basecall --resume` after a run stopped by SIGINT, through the
installed console script: every read exactly once afterwards."""

import pysam
import pytest
from conftest import interrupted, run_corvane, simulate
from test_basecall import server_settings, summary_counts, truths_of, write_reference

READS = 240


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("resume")
    reference = write_reference(folder / "genome.fa")
    reads = simulate(folder, READS, 300, 8, reference)
    return folder, reference, reads, server_settings(folder, latency_ms=40)


def names_in(path):
    """The read each record stands for (a piece's parent), per record."""
    if ".fastq" in path.name:
        lines = path.read_text().split("\n")
        return [lines[i][1:].split("\t")[0] for i in range(0, len(lines) - 1, 4)]
    with pysam.AlignmentFile(str(path), check_sq=False) as file:
        return [record.query_name for record in file.fetch(until_eof=True)]


def records_of(path):
    with pysam.AlignmentFile(str(path)) as file:
        return sorted(record.to_string() for record in file.fetch(until_eof=True))


def summary_rows(path):
    return sum(1 for _ in open(path)) - 1 if path.exists() else 0


def test_a_resumed_run_completes_the_output_with_every_read_once(tmp_path, inputs):
    folder, reference, reads, settings = inputs
    ids = set(truths_of(reads))
    whole = tmp_path / "whole.bam"
    done = run_corvane("basecall", reads, "-o", whole, "--reference", reference, "--server-settings", settings)
    assert done.returncode == 0, done.stderr
    rows = [
        # (what, output, extra options, summary rows before SIGINT, cut the partial file by this many bytes)
        ("FASTQ early", "early.fastq", [], 60, 0),
        ("FASTQ, a record cut short", "cut.fastq", [], 100, 50),
        ("SAM late", "late.sam", [], 150, 0),
        ("BAM, sorted", "sorted.bam", ["--reference", reference], 100, 0),
    ]
    for what, name, extra, point, cut in rows:
        output = tmp_path / name
        summary = tmp_path / (name + ".tsv")
        partial = tmp_path / (name + ".partial")
        args = [
            reads,
            "-o",
            output,
            "--summary",
            summary,
            "--server-settings",
            settings,
            "--max-reads-in-flight",
            4,
            *extra,
        ]
        # The summary table reaches its file some 60 rows at a time.
        table = summary.with_name(summary.name + ".partial")
        interrupted(["basecall", *args], lambda t=table, p=point: summary_rows(t) >= p, f"{point} summary rows")
        assert partial.exists() and not output.exists(), what
        if cut:
            with open(partial, "r+b") as file:
                file.truncate(partial.stat().st_size - cut)
        written = len(set(names_in(partial))) if output.suffix != ".bam" else None
        # Other options are refused, and the partial output is left as it was.
        before = partial.read_bytes()
        done = run_corvane("basecall", *args, "--resume", "--moves")
        assert done.returncode == 2 and "made with other options (moves False then, True now)" in done.stderr, (
            what,
            done.stderr,
        )
        assert partial.read_bytes() == before, what
        done = run_corvane("basecall", *args, "--resume")
        assert done.returncode == 0, (what, done.stderr)
        counts = summary_counts(done.stderr)
        taken = counts["reads taken over from the earlier run"]
        assert 0 < taken < READS and counts["reads out with results"] == READS - taken, (what, done.stderr)
        if written is not None:
            assert taken == written - (1 if cut else 0), (what, taken, written)
        names = names_in(output)
        assert len(names) == len(set(names)) and set(names) == ids, what
        assert summary_rows(summary) == READS and not partial.exists(), what
        if output.suffix == ".bam":
            assert records_of(output) == records_of(whole), what
            assert output.with_name(output.name + ".bai").exists(), what
    # A complete output resumed: nothing is called again.
    done = run_corvane("basecall", reads, "-o", tmp_path / "early.fastq", "--resume")
    assert done.returncode == 0 and f"reads taken over from the earlier run: {READS}" in done.stderr, done.stderr
    assert set(names_in(tmp_path / "early.fastq")) == ids
    done = run_corvane("basecall", reads, "-o", "-", "--resume")
    assert done.returncode == 2 and "continues a file of its own" in done.stderr, done.stderr
