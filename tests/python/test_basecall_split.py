"""`corvane basecall --output-dir` split by barcode and by qscore, and
--min-qscore, through the installed console script."""

import csv

import numpy as np
import pysam
import pytest
from conftest import interrupted, run_corvane, simulate
from test_basecall import COMPLEMENT, reference_barcode, server_settings, summary_counts

MIN_QSCORE = 30.7


@pytest.fixture(scope="module")
def barcoded(tmp_path_factory):
    """Reads of two barcoded contigs (each starts with its barcode and ends
    with its reverse complement) and random ones, which stay unclassified."""
    folder = tmp_path_factory.mktemp("barcoded")
    rng = np.random.default_rng(4)
    reference = folder / "barcoded.fa"
    with open(reference, "w") as fasta:
        for index in (1, 2):
            code = reference_barcode(index)
            body = "".join(rng.choice(list("ACGT"), 300))
            fasta.write(f">bc{index}\n{code}{body}{code.translate(COMPLEMENT)[::-1]}\n")
    simulate(folder, 24, 348, 2, reference, "a.h5")
    simulate(folder, 8, 348, 9, None, "b.h5")
    return folder, reference


def names_in(path):
    """The read names of a FASTQ, SAM or BAM file, one per record."""
    with pysam.FastxFile(str(path)) if path.suffix == ".fastq" else pysam.AlignmentFile(str(path), check_sq=False) as f:
        if path.suffix == ".fastq":
            return [record.name for record in f]
        return [record.query_name for record in f.fetch(until_eof=True)]


def summary_rows(path):
    with open(path) as table:
        return {row["read_id"]: row for row in csv.DictReader(table, delimiter="\t")}


def expected_name(row, split):
    """Where a read of the summary belongs."""
    parts = []
    if "qscore" in split:
        parts.append("pass" if float(row["mean_qscore"]) >= MIN_QSCORE else "fail")
    parts.append(row["barcode_arrangement"] if "barcode" in split else "called")
    return "/".join(parts)


def test_split_outputs_hold_every_read_once_where_it_belongs(tmp_path, barcoded):
    folder, reference = barcoded
    inputs = [folder / "a.h5", folder / "b.h5"]
    kits = ["--barcode-kits", "KIT-12"]
    rows = [
        # (what, arguments, split, format ending, sorted and indexed)
        ("by barcode", ["--split-by", "barcode", *kits, "--format", "fastq"], ["barcode"], ".fastq", False),
        ("by qscore", ["--split-by", "qscore", "--min-qscore", MIN_QSCORE], ["qscore"], ".bam", False),
        (
            "by both, aligned",
            ["--split-by", "barcode,qscore", "--min-qscore", MIN_QSCORE, *kits, "--reference", reference],
            ["barcode", "qscore"],
            ".bam",
            True,
        ),
    ]
    for what, args, split, ending, indexed in rows:
        out = tmp_path / what.replace(" ", "_").replace(",", "")
        done = run_corvane("basecall", *inputs, "--output-dir", out, "--summary", out.with_suffix(".tsv"), *args)
        assert done.returncode == 0, (what, done.stderr)
        summary = summary_rows(out.with_suffix(".tsv"))
        assert len(summary) == 32, what
        wanted = {}
        for read_id, row in summary.items():
            wanted.setdefault(expected_name(row, split) + ending, []).append(read_id)
            assert row["passes_filtering"] == ("TRUE" if float(row["mean_qscore"]) >= MIN_QSCORE else "FALSE") or (
                "qscore" not in split and row["passes_filtering"] == "TRUE"
            ), (what, row)
        found = {str(path.relative_to(out)): names_in(path) for path in out.rglob("*" + ending)}
        assert {name: sorted(ids) for name, ids in found.items()} == {
            name: sorted(ids) for name, ids in wanted.items()
        }, what
        assert len(wanted) >= 2 and not list(out.rglob("*.partial")), (what, sorted(wanted))
        for path in out.rglob("*" + ending):
            assert path.with_name(path.name + ".bai").exists() == indexed, (what, path)
    # Without a folder, --min-qscore leaves the failing reads out and counts them.
    done = run_corvane("basecall", *inputs, "-o", tmp_path / "passing.fastq", "--min-qscore", MIN_QSCORE)
    assert done.returncode == 0, done.stderr
    passing = [read_id for read_id, row in summary.items() if float(row["mean_qscore"]) >= MIN_QSCORE]
    assert sorted(names_in(tmp_path / "passing.fastq")) == sorted(passing)
    assert f"reads below --min-qscore {MIN_QSCORE:g}: {32 - len(passing)} (not written)" in done.stderr
    assert summary_counts(done.stderr)["reads out with results"] == 32


def test_split_options_are_checked_and_an_interrupted_split_stays_partial(tmp_path, barcoded):
    folder, _ = barcoded
    reads = folder / "a.h5"
    a_file = tmp_path / "file"
    a_file.write_text("")
    refused = [
        # (arguments, text on stderr)
        (["--split-by", "qscore", "--output-dir", tmp_path / "d"], "needs the threshold"),
        (["--split-by", "barcode", "--output-dir", tmp_path / "d"], "give --barcode-kits"),
        (["--split-by", "barcode", "-o", tmp_path / "x.bam", "--barcode-kits", "KIT-12"], "give --output-dir"),
        (["--split-by", "lane", "--output-dir", tmp_path / "d"], "choose barcode, qscore or both"),
        (["-o", tmp_path / "x.bam", "--output-dir", tmp_path / "d"], "not both"),
        ([], "-o OUTPUT, or --output-dir DIR"),
        (["--output-dir", a_file], "not a folder"),
        (["--output-dir", tmp_path / "none" / "d"], "no such folder"),
        (["-o", tmp_path / "x.fastq", "--min-qscore", "-1"], "from 0 up"),
    ]
    for args, text in refused:
        done = run_corvane("basecall", reads, *args)
        assert done.returncode == 2 and text in done.stderr, (args, done.stderr)
        assert not (tmp_path / "d").exists(), args
    out = tmp_path / "slow"
    # Two reads at a time, each 0.3 s: the run lasts seconds.
    settings = server_settings(tmp_path, latency_ms=300)
    command = ["basecall", reads, "--output-dir", out, "--split-by", "qscore"]
    command += ["--min-qscore", MIN_QSCORE, "--server-settings", settings, "--max-reads-in-flight", 2]
    interrupted(command, lambda: any(out.rglob("*.partial")), "the first split output")
    assert list(out.rglob("*.partial")) and not list(out.rglob("*.bam"))
