"""corvane report: the HTML page of a run from its per-read summary tables."""

from __future__ import annotations

import argparse
import sys

from corvane_cli.errors import EXIT_OK, UsageError


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "report",
        help="an HTML report of a run from its summary tables",
        description="Writes one self-contained HTML page (figures embedded, no network needed to open it) "
        "with a run's totals and figures of read length, qscore, yield and throughput over time and, with "
        "barcodes, reads per barcode, from the --summary tables of corvane basecall.",
    )
    parser.add_argument("tables", nargs="+", metavar="TSV", help="summary tables (corvane basecall --summary)")
    parser.add_argument("-o", "--output", required=True, metavar="HTML", help="the page to write")
    parser.add_argument("--title", help="the page's title (default: corvane report of the tables' names)")
    return parser


def run(args: argparse.Namespace) -> int:
    from corvane_cli.html_report import ReportError, write_html_report
    from corvane_cli.output_paths import OutputPath, refuse_overlaps

    output = OutputPath(args.output, "report")
    if output.stdout:
        raise UsageError("the report is a file: name it with -o")
    refuse_overlaps([(path, "summary table") for path in args.tables], [output])
    output.probe()
    title = args.title or "corvane report: " + ", ".join(args.tables)
    try:
        table = write_html_report(args.tables, output.partial_path, title)
    except ReportError as error:
        output.discard()
        raise UsageError(str(error)) from error
    except OSError as error:
        output.discard()
        raise UsageError(f"cannot write {output.shown}: {error.strerror or error}") from error
    output.commit()
    print(f"corvane report: {len(table.lengths)} reads; written to {args.output}", file=sys.stderr)
    return EXIT_OK
