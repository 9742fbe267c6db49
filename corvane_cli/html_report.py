"""The run report as one self-contained HTML page, from per-read summary
tables: the totals a user looks for first and the figures of the run,
embedded as PNG images, so that the page opens anywhere without a network.

Each figure is drawn in a colour of its own (FIGURE_COLOURS), which lets a
screenshot be checked figure by figure."""

from __future__ import annotations

import base64
import csv
import html
import io
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes

# figure key -> its colour.
FIGURE_COLOURS = {
    "lengths": "#1f77b4",
    "qscores": "#2ca02c",
    "yield": "#9467bd",
    "throughput": "#d62728",
    "barcodes": "#ff7f0e",
}
REQUIRED_COLUMNS = ("read_id", "start_time", "duration", "sequence_length", "mean_qscore")


class ReportError(Exception):
    """A summary table that cannot be read; the message names it."""


@dataclass
class RunTable:
    """The columns of one or more summary tables that the report uses."""

    lengths: list[int] = field(default_factory=list)  # every row, 0 without a sequence
    qscores: list[float] = field(default_factory=list)  # called reads
    ends: list[float] = field(default_factory=list)  # start time + duration (s), called reads
    called_lengths: list[int] = field(default_factory=list)
    passed: int = 0
    has_filter: bool = False
    aligned: int = 0
    alignment_known: bool = False  # some read was aligned, or found unaligned
    identities: list[float] = field(default_factory=list)
    barcodes: Counter[str] = field(default_factory=Counter)

    def add_file(self, path: Path) -> None:
        try:
            with open(path, encoding="utf-8", newline="") as file:
                reader = csv.DictReader(file, delimiter="\t")
                missing = [name for name in REQUIRED_COLUMNS if name not in (reader.fieldnames or [])]
                if missing:
                    raise ReportError(f"{path}: not a summary table (no column {', '.join(missing)})")
                self.has_filter = self.has_filter or "passes_filtering" in (reader.fieldnames or [])
                for line, row in enumerate(reader, 2):
                    try:
                        self._add_row(row)
                    except (TypeError, ValueError) as error:
                        raise ReportError(f"{path}: line {line}: {error}") from error
        except OSError as error:
            raise ReportError(f"{path}: {error.strerror or error}") from error
        except UnicodeDecodeError as error:
            raise ReportError(f"{path}: not a text table ({error.reason})") from error

    def _add_row(self, row: dict[str, str]) -> None:
        length = int(row["sequence_length"] or 0)
        self.lengths.append(length)
        if length <= 0:
            return
        self.called_lengths.append(length)
        if row["mean_qscore"]:
            self.qscores.append(float(row["mean_qscore"]))
        self.ends.append(float(row["start_time"] or 0) + float(row["duration"] or 0))
        self.passed += row.get("passes_filtering", "TRUE") == "TRUE"
        self.alignment_known = self.alignment_known or bool(row.get("alignment_genome"))
        if row.get("alignment_genome", "") not in ("", "*"):
            self.aligned += 1
            if row.get("alignment_identity"):
                self.identities.append(float(row["alignment_identity"]))
        if row.get("barcode_arrangement"):
            self.barcodes[row["barcode_arrangement"]] += 1


def n50(lengths: Sequence[int]) -> int:
    if not len(lengths):
        return 0
    ordered = np.sort(np.asarray(lengths, dtype=np.int64))[::-1]
    return int(ordered[np.searchsorted(np.cumsum(ordered), ordered.sum() / 2)])


def totals(table: RunTable) -> list[tuple[str, str, str]]:
    """(key, label, text) of the totals, in the order shown."""
    called = len(table.called_lengths)
    rows = [
        ("reads", "reads", f"{len(table.lengths):,}"),
        ("called", "reads with a sequence", f"{called:,}"),
        ("bases", "bases", f"{int(np.sum(table.called_lengths, dtype=np.int64)):,}"),
        ("n50", "read length N50", f"{n50(table.called_lengths):,}"),
        ("mean_qscore", "mean qscore", f"{np.mean(table.qscores):.2f}" if table.qscores else "-"),
        ("median_qscore", "median qscore", f"{np.median(table.qscores):.2f}" if table.qscores else "-"),
        ("passed", "reads passing the filter", f"{table.passed:,}" if table.has_filter else "-"),
        ("aligned", "alignment rate", f"{100 * table.aligned / called:.1f}%" if table.alignment_known else "-"),
        ("identity", "mean alignment identity", f"{np.mean(table.identities):.4f}" if table.identities else "-"),
    ]
    rows += [(f"barcode:{name}", f"reads of {name}", f"{count:,}") for name, count in sorted(table.barcodes.items())]
    return rows


def _png(figure_key: str, draw: object, width: float = 6.4, height: float = 4.0) -> str:
    """A figure drawn by draw(axes, colour), as a data: URL."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(width, height))
    assert callable(draw)
    draw(axes, FIGURE_COLOURS[figure_key])
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=90)
    plt.close(figure)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def _empty(axes: Axes) -> None:
    axes.text(0.5, 0.5, "no reads with a sequence", ha="center", va="center", transform=axes.transAxes)


def _histogram(values: Sequence[float], label: str) -> object:
    def draw(axes: Axes, colour: str) -> None:
        if len(values):
            axes.hist(values, bins=50, color=colour)
        else:
            _empty(axes)
        axes.set(xlabel=label, ylabel="reads")
        axes.set_ylim(bottom=0)

    return draw


def _time_bins(ends: Sequence[float]) -> tuple[np.ndarray, float]:
    from corvane_cli.run_summary import throughput_bin

    last = max(ends) if len(ends) else 0.0
    size = throughput_bin(last)
    edges = np.arange(0.0, last + size, size)
    return (edges if len(edges) >= 2 else np.array([0.0, size])), size


def _yield(table: RunTable) -> object:
    def draw(axes: Axes, colour: str) -> None:
        if not table.ends:
            _empty(axes)
            return
        order = np.argsort(table.ends)
        times = np.asarray(table.ends)[order]
        bases = np.cumsum(np.asarray(table.called_lengths, dtype=np.int64)[order])
        axes.fill_between(times, bases, step="post", color=colour)
        axes.set(xlabel="seconds into the run", ylabel="bases called")
        axes.set_xlim(left=0)
        axes.set_ylim(bottom=0)

    return draw


def _throughput(table: RunTable) -> object:
    def draw(axes: Axes, colour: str) -> None:
        if not table.ends:
            _empty(axes)
            return
        edges, size = _time_bins(table.ends)
        numbers, edges = np.histogram(np.asarray(table.ends), bins=edges)
        axes.stairs(numbers / size, edges, fill=True, color=colour)
        axes.set(xlabel="seconds into the run", ylabel="reads/s", xlim=(0, edges[-1]))
        axes.set_ylim(bottom=0)

    return draw


def _barcodes(table: RunTable) -> object:
    def draw(axes: Axes, colour: str) -> None:
        names = sorted(table.barcodes)
        axes.bar(range(len(names)), [table.barcodes[name] for name in names], color=colour)
        axes.set_xticks(range(len(names)), names, rotation=45, ha="right")
        axes.set(ylabel="reads")

    return draw


def write_html_report(tables: Sequence[str | Path], output: Path, title: str) -> RunTable:
    """Writes the page for these summary tables to `output`; raises
    ReportError for a table that cannot be read."""
    table = RunTable()
    for path in tables:
        table.add_file(Path(path))
    figures = [
        ("lengths", "Read length", _histogram(table.called_lengths, "bases")),
        ("qscores", "Mean qscore", _histogram(table.qscores, "mean qscore")),
        ("yield", "Yield over time", _yield(table)),
        ("throughput", "Throughput over time", _throughput(table)),
    ]
    if table.barcodes:
        figures.append(("barcodes", "Reads per barcode", _barcodes(table)))
    rows = "\n".join(
        f'<tr data-key="{html.escape(key)}"><th>{html.escape(label)}</th><td>{html.escape(text)}</td></tr>'
        for key, label, text in totals(table)
    )
    cells = "\n".join(
        f'<figure id="figure-{key}"><figcaption>{html.escape(caption)}</figcaption>'
        f'<img alt="{html.escape(caption)}" src="{_png(key, draw)}"></figure>'
        for key, caption, draw in figures
    )
    sources = ", ".join(html.escape(str(path)) for path in tables)
    page = _PAGE.format(
        title=html.escape(title),
        sources=sources,
        date=f"{datetime.now():%Y-%m-%d %H:%M}",
        rows=rows,
        figures=cells,
    )
    output.write_text(page, encoding="utf-8")
    return table


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
body {{ font-family: sans-serif; margin: 2em; color: #222; background: #fff; }}
h1 {{ font-size: 1.6em; margin-bottom: 0.2em; }}
p.sources {{ color: #555; margin-top: 0; }}
table#totals {{ border-collapse: collapse; margin: 1em 0 2em; }}
table#totals th {{ text-align: left; font-weight: normal; padding: 0.25em 2em 0.25em 0; }}
table#totals td {{ text-align: right; font-weight: bold; padding: 0.25em 0; }}
table#totals tr {{ border-bottom: 1px solid #ddd; }}
div.figures {{ display: flex; flex-wrap: wrap; gap: 1.5em; }}
figure {{ margin: 0; }}
figcaption {{ font-weight: bold; margin-bottom: 0.3em; }}
img {{ width: 576px; height: 360px; }}
</style>
</head>
<body>
<h1>{title}</h1>
<p class="sources">{sources} &middot; {date}</p>
<table id="totals">
{rows}
</table>
<div class="figures">
{figures}
</div>
</body>
</html>
"""
