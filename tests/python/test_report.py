"""The HTML report of `corvane basecall --report x.html` and `corvane
report`, opened in headless Chromium: every figure drawn, the totals those
of the summary table."""

import csv
import re
import shutil
import subprocess

import numpy as np
import pytest
from conftest import run_corvane
from matplotlib.image import imread
from test_basecall_split import MIN_QSCORE, barcoded  # noqa: F401 (a fixture)

from corvane_cli.html_report import FIGURE_COLOURS

# Pixels of a figure's own colour that show it was drawn.
MIN_FIGURE_PIXELS = 2000


def browser():
    for name in ("chromium-headless-shell", "chromium"):
        path = shutil.which(name)
        if path:
            return path
    pytest.skip("no headless Chromium (Debian's chromium-headless-shell or chromium): scripts/setup.sh installs it")


def open_page(page, folder):
    """(screenshot as an RGB array, the DOM after loading) of a page."""
    command = [browser(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars"]
    command += ["--window-size=1300,2000", "--allow-file-access-from-files"]
    shot = folder / (page.stem + ".png")
    done = subprocess.run([*command, f"--screenshot={shot}", page.as_uri()], capture_output=True, timeout=60)
    assert done.returncode == 0 and shot.exists(), done.stderr[-2000:]
    dom = subprocess.run([*command, "--dump-dom", page.as_uri()], capture_output=True, text=True, timeout=60)
    assert dom.returncode == 0, dom.stderr[-2000:]
    return imread(shot)[:, :, :3], dom.stdout


def expected_totals(table):
    with open(table) as file:
        rows = list(csv.DictReader(file, delimiter="\t"))
    called = [row for row in rows if int(row["sequence_length"])]
    lengths = sorted((int(row["sequence_length"]) for row in called), reverse=True)
    half, running = sum(lengths) / 2, 0
    n50 = next(length for length in lengths if (running := running + length) >= half)
    qscores = [float(row["mean_qscore"]) for row in called]
    aligned = [row for row in called if row["alignment_genome"] not in ("", "*")]
    found = {
        "reads": f"{len(rows):,}",
        "bases": f"{sum(lengths):,}",
        "n50": f"{n50:,}",
        "mean_qscore": f"{np.mean(qscores):.2f}",
        "median_qscore": f"{np.median(qscores):.2f}",
        "passed": f"{sum(float(row['mean_qscore']) >= MIN_QSCORE for row in called):,}",
        "aligned": f"{100 * len(aligned) / len(called):.1f}%",
    }
    for row in called:
        key = "barcode:" + row["barcode_arrangement"]
        found[key] = f"{int(found.get(key, '0').replace(',', '')) + 1:,}"
    return found


def test_the_html_report_shows_every_figure_and_the_totals_of_the_table(tmp_path, barcoded):  # noqa: F811
    folder, reference = barcoded
    page, table = tmp_path / "report.html", tmp_path / "summary.tsv"
    done = run_corvane(
        "basecall",
        *(folder / name for name in ("a.h5", "b.h5")),
        "-o",
        tmp_path / "called.bam",
        "--reference",
        reference,
        "--barcode-kits",
        "KIT-12",
        "--min-qscore",
        MIN_QSCORE,
        "--summary",
        table,
        "--report",
        page,
    )
    assert done.returncode == 0, done.stderr
    again = tmp_path / "again.html"
    done = run_corvane("report", table, "-o", again)
    assert done.returncode == 0 and again.exists() and not list(tmp_path.glob("*.partial")), done.stderr
    text = page.read_text()
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", text), "the page needs nothing from a network"
    for path in (page, again):
        pixels, dom = open_page(path, tmp_path)
        shown = dict(re.findall(r'<tr data-key="([^"]+)"><th>[^<]*</th><td>([^<]*)</td></tr>', dom))
        wanted = expected_totals(table)
        assert {key: shown.get(key) for key in wanted} == wanted, path
        assert sum(key.startswith("barcode:") for key in shown) >= 2
        for key, colour in FIGURE_COLOURS.items():
            rgb = np.array([int(colour[i : i + 2], 16) / 255 for i in (1, 3, 5)])
            drawn = int(np.sum(np.all(np.abs(pixels - rgb) < 0.06, axis=2)))
            assert drawn >= MIN_FIGURE_PIXELS, (path, key, drawn)
    # A table that is not one is refused, naming it.
    (tmp_path / "notes.tsv").write_text("a\tb\n1\t2\n")
    done = run_corvane("report", tmp_path / "notes.tsv", "-o", tmp_path / "bad.html")
    assert done.returncode == 2 and "notes.tsv: not a summary table" in done.stderr, done.stderr
    assert not list(tmp_path.glob("bad.html*"))
