"""What a basecall run reports: the per-read summary table, the final
counts, and the one-page report figure."""

from __future__ import annotations

import time
from array import array
from collections.abc import Mapping, Sequence
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

import numpy as np

from corvane_cli.read_types import CalledRead, Group
from corvane_cli.split_outputs import passes

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from corvane_cli.output_paths import OutputPath
    from corvane_cli.pipeline import Counts

Metadata = Mapping[str, "int | float | str"]

TSV_COLUMNS = (
    "read_id",
    "channel",
    "start_time",
    "duration",
    "sequence_length",
    "mean_qscore",
    "alignment_genome",
    "alignment_genome_start",
    "alignment_identity",
    "barcode_arrangement",
    "passes_filtering",
)
# Throughput bins, in seconds: the smallest that gives at most MAX_BINS.
THROUGHPUT_BINS_S = (
    0.001,
    0.002,
    0.005,
    0.01,
    0.02,
    0.05,
    0.1,
    0.2,
    0.5,
    1,
    2,
    5,
    10,
    30,
    60,
    120,
    300,
    600,
    1800,
    3600,
)
MAX_BINS = 60
SHOWN_FAILURES = 20


def _seconds(md: Metadata, key: str) -> float:
    rate = float(md.get("sampling_rate", 0.0))
    return float(md.get(key, 0)) / rate if rate > 0 else 0.0


def _primary(group: Group) -> CalledRead:
    """The read that speaks for a group: the whole read (sub tag 0), which
    the library returns ahead of the pieces of a split read."""
    if len(group) == 1:
        return group[0]
    for read in group:
        if read.get("sub_tag", 0) == 0:
            return read
    return group[0]


def carried_rows(summary: OutputPath, read_ids: set[str]) -> list[str]:
    """The rows of the table an earlier run left (NAME.partial, else NAME)
    for the reads it wrote: the rows of the reads taken over."""
    header = "\t".join(TSV_COLUMNS) + "\n"
    for path in (summary.partial_path, summary.path):
        if not summary.in_place and path.exists():
            with open(path, encoding="utf-8", errors="replace") as table:
                if table.readline() != header:
                    return []
                return [row for row in table if row.endswith("\n") and row.split("\t", 1)[0] in read_ids]
    return []


def throughput_bin(duration_s: float) -> float:
    return next((size for size in THROUGHPUT_BINS_S if duration_s / size <= MAX_BINS), THROUGHPUT_BINS_S[-1])


class RunRecord:
    """Collects what the summaries need, one group of called reads at a
    time. Memory per read: a few bytes of numbers, and the true sequence
    only while the read is out (expect() to add())."""

    def __init__(self, summary_file: TextIO | None = None, min_qscore: float | None = None) -> None:
        self.min_qscore = min_qscore
        self.taken_over = 0  # reads an earlier run wrote, not called again
        self.passed = 0  # called reads that pass the mean-qscore filter
        self._truths: dict[int, str] = {}  # read tag -> true sequence, for reads on their way
        self.identical = 0
        self.compared = 0
        self.identities = array("f")
        self.lengths = array("I")
        self.qscores = array("f")
        self.arrivals = array("f")  # seconds since the start
        self.started = time.monotonic()
        self.began = datetime.now()
        self._tsv = summary_file
        if self._tsv is not None:
            self._tsv.write("\t".join(TSV_COLUMNS) + "\n")

    def carry(self, rows: list[str]) -> None:
        """Rows of an earlier run's table, for the reads taken over from it."""
        if self._tsv is not None:
            self._tsv.writelines(rows)

    def expect(self, read_tag: int, truth: str) -> None:
        """The true sequence of a read about to be passed."""
        self._truths[read_tag] = truth

    def add(self, read_id: str, group: Group) -> None:
        read = _primary(group)
        md = read["metadata"]
        sequence = read["datasets"].get("sequence")
        truth = self._truths.pop(read["read_tag"], None)
        self.arrivals.append(time.monotonic() - self.started)
        passed = sequence is not None and (self.min_qscore is None or passes(group, self.min_qscore))
        self.passed += passed
        if sequence is not None:
            self.lengths.append(len(sequence))
            if "mean_qscore" in md:
                self.qscores.append(float(md["mean_qscore"]))
            if truth is not None:
                self.compared += 1
                self.identical += sequence == truth
        if "alignment_identity" in md and md.get("alignment_genome", "*") not in ("", "*"):
            self.identities.append(float(md["alignment_identity"]))
        if self._tsv is not None:
            row = (
                read_id,
                md.get("channel", ""),
                f"{_seconds(md, 'start_time'):.4f}",
                f"{_seconds(md, 'duration'):.4f}",
                len(sequence) if sequence is not None else 0,
                f"{md['mean_qscore']:.2f}" if "mean_qscore" in md else "",
                md.get("alignment_genome", ""),
                md.get("alignment_genome_start", ""),
                f"{md['alignment_identity']:.4f}" if "alignment_identity" in md else "",
                md.get("barcode_arrangement", ""),
                "TRUE" if passed else "FALSE",
            )
            self._tsv.write("\t".join(map(str, row)) + "\n")

    def totals(self, counts: Counts, reads_in: int) -> list[tuple[str, int]]:
        """(label, number) of every read of the input: the four ways a read
        ends add up to reads_in."""
        returned = counts.with_results + counts.without_results
        taken_over = [("reads taken over from the earlier run", self.taken_over)] if self.taken_over else []
        return [
            ("reads in", reads_in),
            *taken_over,
            ("reads out with results", counts.with_results),
            ("reads out without results", counts.without_results),
            ("reads failed", counts.failed),
            ("reads not sent", reads_in - self.taken_over - returned - counts.failed),
        ]

    def summary_lines(self, counts: Counts, reads_in: int, elapsed_s: float) -> list[str]:
        lines = [f"{label}: {number}" for label, number in self.totals(counts, reads_in)]
        if counts.split:
            lines.append(f"reads split: {counts.split} (into {counts.pieces} pieces, written in their stead)")
        lines.append(
            f"throughput: {counts.reads_in / elapsed_s:.1f} reads/s, {counts.samples_in / elapsed_s:.0f} "
            f"samples/s over {elapsed_s:.1f} s"
            if elapsed_s > 0
            else "throughput: -"
        )
        if self.compared:
            lines.append(
                f"identical to truth: {self.identical}/{self.compared} ({100.0 * self.identical / self.compared:.2f}%)"
            )
        if self.identities:
            lines.append(
                f"mean alignment identity: {np.mean(self.identities):.4f} over {len(self.identities)} aligned reads"
            )
        for read_id, reason in counts.failures[:SHOWN_FAILURES]:
            lines.append(f"  failed: {read_id}: {reason}")
        if len(counts.failures) > SHOWN_FAILURES:
            lines.append(f"  ... and {len(counts.failures) - SHOWN_FAILURES} more failed reads")
        return lines

    def write_report(
        self, path: Path, inputs: Sequence[str], output: str, counts: Counts, reads_in: int, elapsed_s: float
    ) -> None:
        """A one-page PNG: title (inputs, output, date), totals, read-length
        and qscore histograms, reads/s over the run."""
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        figure, ((totals, throughput), (lengths, qscores)) = plt.subplots(2, 2, figsize=(14, 9))
        names = ", ".join(str(name) for name in inputs)
        figure.suptitle(f"corvane basecall: {names} to {output}\n{self.began:%Y-%m-%d %H:%M}", fontsize=14)
        self._draw_totals(totals, counts, reads_in, elapsed_s)
        self._draw_throughput(throughput)
        _histogram(lengths, self.lengths, "Read length", "bases", "tab:blue")
        _histogram(qscores, self.qscores, "Mean qscore", "qscore", "tab:green")
        figure.tight_layout()
        figure.savefig(path, format="png")
        plt.close(figure)

    def _draw_totals(self, axes: Axes, counts: Counts, reads_in: int, elapsed_s: float) -> None:
        rows = [(label, f"{number:,}") for label, number in self.totals(counts, reads_in)]
        bases = int(np.sum(self.lengths, dtype=np.int64)) if self.lengths else 0
        rows.append(("bases called", f"{bases:,}"))
        if self.lengths:
            rows.append(("read length N50", f"{_n50(self.lengths):,}"))
        if self.qscores:
            rows.append(("mean qscore", f"{np.mean(self.qscores):.2f}"))
        if self.compared:
            rows.append(("identical to truth", f"{self.identical:,}/{self.compared:,}"))
        if self.identities:
            rows.append(("mean alignment identity", f"{np.mean(self.identities):.4f}"))
        rows.append(("calling time", f"{elapsed_s:.2f} s"))
        axes.axis("off")
        axes.set_title("Totals")
        table = axes.table(cellText=rows, loc="center", cellLoc="left", colWidths=[0.6, 0.4])
        table.scale(1, 1.5)

    def _draw_throughput(self, axes: Axes) -> None:
        duration = max(self.arrivals) if self.arrivals else 0.0
        size = throughput_bin(duration)
        edges = np.arange(0.0, duration + size, size)
        if len(edges) < 2:
            edges = np.array([0.0, size])
        numbers, edges = np.histogram(np.asarray(self.arrivals), bins=edges)
        axes.stairs(numbers / size, edges, fill=True, color="tab:red", alpha=0.7)
        axes.set(
            title=f"Throughput ({_bin_text(size)} bins)",
            xlabel="seconds since the start",
            ylabel="reads/s",
            xlim=(0, edges[-1]),
        )
        axes.set_ylim(bottom=0, top=max(1.0, float(numbers.max(initial=0)) / size * 1.1))


def _histogram(axes: Axes, values: Sequence[float], title: str, label: str, color: str) -> None:
    if len(values):
        axes.hist(values, bins=50, color=color)
    else:
        axes.text(0.5, 0.5, "no reads came back with results", ha="center", va="center", transform=axes.transAxes)
    axes.set(title=title, xlabel=label, ylabel="reads")
    axes.set_ylim(bottom=0)


def _n50(lengths: Sequence[int]) -> int:
    ordered = np.sort(np.asarray(lengths, dtype=np.int64))[::-1]
    return int(ordered[np.searchsorted(np.cumsum(ordered), ordered.sum() / 2)])


def _bin_text(size: float) -> str:
    return f"{size * 1000:.0f} ms" if size < 1 else f"{size:g} s"
