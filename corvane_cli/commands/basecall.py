"""corvane basecall: signal files in, called reads out (FASTQ, SAM, BAM or
CRAM), through a pool of clients on the named servers or on a private
reference server.

The run goes in stages, each a function below: options checked and
outputs planned (nothing started yet), inputs opened, servers started and
connected, outputs opened, reads called (_Calling), outputs closed and
named, summary printed.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO, cast

from corvane_cli.errors import EXIT_INTERRUPTED, EXIT_OK, EXIT_READS_FAILED, EXIT_USAGE, UsageError
from corvane_cli.read_types import Group, InputRead, OnResults
from corvane_cli.run_inputs import RunInputs
from corvane_cli.stop_request import StopRequest

if TYPE_CHECKING:
    from distributed import Client as DaskClient
    from tqdm import tqdm

    from corvane_cli.background_writer import BackgroundWriter
    from corvane_cli.embedded_server import EmbeddedServer
    from corvane_cli.output_paths import OutputPath
    from corvane_cli.pipeline import Pipeline, PipelineError
    from corvane_cli.resume import Resumption
    from corvane_cli.run_summary import RunRecord
    from corvane_cli.signal_file import SignalFileReader
    from corvane_cli.split_outputs import SplitWriter
    from corvane_cli.writers import ReadWriter

DEFAULT_CONFIG = "ref_dna_fast"
MODIFIED_BASES_CONFIG = "ref_dna_accurate"
QUERY_TIMEOUT_MS = 2000


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "basecall",
        help="basecall signal files into FASTQ, SAM, BAM or CRAM",
        description="Basecall the reads of one or more signal files. Without --server a private reference "
        "server is started for the run and stopped at its end.",
        epilog="Exit codes: 0 every read called and written; 1 some reads failed (listed in the summary), the run "
        "could not go on (a lost server) or the output could not be written; 2 bad command line or "
        "unreadable input; 130 interrupted. Every output (the reads, --summary, --report) is written to "
        "NAME.partial and renamed to NAME only when the run is complete; standard output, devices and "
        "links are written in place. The summary goes to standard error.",
    )
    parser.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="signal files, or folders of them (their *.h5 and *.hdf5 files, in natural order)",
    )
    parser.add_argument("--recursive", action="store_true", help="take the signal files in subfolders of a folder too")
    parser.add_argument(
        "--watch",
        action="store_true",
        help="keep taking the signal files that appear in the input folders (under their final names) "
        "until --watch-stop-after or --watch-stop-file says so; Ctrl-C interrupts the run",
    )
    parser.add_argument(
        "--watch-stop-after",
        type=_positive_seconds,
        metavar="S",
        help="with --watch: end once S seconds pass without a new file and every file found is called",
    )
    parser.add_argument(
        "--watch-stop-file",
        metavar="PATH",
        help="with --watch: end once a file of this name exists, after calling the files found until then",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUTPUT",
        help="output file (or --output-dir), its name ending in .fastq or .fq (.gz for BGZF-compressed FASTQ), .sam, "
        ".bam or .cram; or - for standard output (SAM unless --format says otherwise; a BAM or "
        "CRAM there is not sorted or indexed)",
    )
    parser.add_argument(
        "--format",
        choices=("fastq", "sam", "bam", "cram"),
        help="output format, for a name without a known ending or for -; must agree with the name; "
        "with --output-dir, the outputs' format (default bam)",
    )
    parser.add_argument(
        "--output-dir",
        metavar="DIR",
        help="instead of -o: write the reads into this folder (made if missing), split as --split-by says "
        "(DIR/called.bam when not split)",
    )
    parser.add_argument(
        "--split-by",
        action="append",
        default=[],
        metavar="barcode|qscore",
        help="with --output-dir: one output per barcode arrangement (DIR/barcode01.bam ... DIR/unclassified.bam), "
        "or pass/ and fail/ by mean qscore against --min-qscore (DIR/pass/called.bam), or both "
        "(DIR/pass/barcode01.bam); comma-separated or repeated",
    )
    parser.add_argument(
        "--min-qscore",
        type=_qscore,
        metavar="Q",
        help="reads of a mean qscore below Q fail the filter (passes_filtering in the summary): with "
        "--split-by qscore they go to fail/, else they are left out of the output and counted",
    )
    parser.add_argument(
        "--server",
        action="append",
        default=[],
        metavar="ADDRESS",
        help="basecall server (repeat for several; the clients are spread over them)",
    )
    parser.add_argument(
        "--config",
        help=f"basecalling configuration (default {DEFAULT_CONFIG}, {MODIFIED_BASES_CONFIG} with --modified-bases)",
    )
    parser.add_argument(
        "--reference",
        metavar="FASTA",
        help="align to this reference (FASTA, gzip-compressed FASTA or minimap2 index); a BAM or "
        "CRAM file is then sorted and indexed; CRAM needs a FASTA",
    )
    parser.add_argument("--clients", type=_positive, default=2, metavar="N", help="library clients in all (default 2)")
    parser.add_argument("--moves", action="store_true", help="ask for move tables and write them")
    parser.add_argument(
        "--barcode-kits",
        action="append",
        default=[],
        metavar="KIT",
        help="classify barcodes of these kits (comma-separated or repeated)",
    )
    parser.add_argument("--modified-bases", action="store_true", help="call modified bases (MM/ML tags in SAM/BAM)")
    parser.add_argument(
        "--resume",
        action="store_true",
        help="go on from what an earlier run with the same options left in OUTPUT.partial (or OUTPUT): its "
        "reads are not called again, a record cut short is; refused when the options differ",
    )
    parser.add_argument("--summary", metavar="TSV", help="write a per-read summary table")
    parser.add_argument(
        "--report",
        metavar="HTML|PNG",
        help="write a report: a name ending in .html gives a self-contained page (as corvane report), "
        "else a one-page PNG figure",
    )
    parser.add_argument("--dask", metavar="SCHEDULER", help="spread the input over the workers of this Dask cluster")
    parser.add_argument(
        "--reconnect-timeout",
        type=_positive,
        default=300,
        metavar="S",
        help="how long a lost server is waited for (default 300 s), and the Dask scheduler (at most 30 s)",
    )
    parser.add_argument(
        "--max-reads-in-flight",
        type=_positive,
        default=2000,
        metavar="N",
        help="reads passed and not yet back, at most (default 2000)",
    )
    parser.add_argument(
        "--timings",
        action="store_true",
        help="also print where the time went: waiting for the input, in client calls, handing reads on to be "
        "written, and the reading and writing threads' CPU time",
    )
    parser.add_argument("--server-settings", metavar="JSON", help="settings file of the private reference server")
    format_help = parser.format_help
    parser.format_help = lambda: format_help() + _private_server_choices()
    return parser


def _private_server_choices() -> str:
    """The help's note on what the private server offers, asked of the
    server program; empty when it cannot be asked."""
    try:
        from corvane_cli.embedded_server import default_settings

        settings = default_settings()
    except Exception:  # the help is shown without the note
        return ""
    configs = ", ".join(entry["name"] for entry in settings.get("configurations", []))
    kits = ", ".join(entry["kit_name"] for entry in settings.get("barcode_kits", []))
    return (
        f"\nThe private reference server offers the configurations {configs} and the barcode kits {kits}. "
        "A named server's kits: corvane query ADDRESS kits.\n"
    )


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text}")
    return value


def _qscore(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a qscore: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"a qscore is a number from 0 up: {text}")
    return value


def _splits(args: argparse.Namespace) -> list[str]:
    from corvane_cli.split_outputs import SPLITS

    splits = [item for text in args.split_by for item in text.split(",") if item]
    for item in splits:
        if item not in SPLITS:
            raise UsageError(f"--split-by {item}: choose barcode, qscore or both")
    return splits


def _check_options(args: argparse.Namespace) -> tuple[str, bool]:
    from corvane_cli.writers import format_of

    args.splits = _splits(args)
    if (args.output is None) == (args.output_dir is None):
        raise UsageError("name where the reads go: -o OUTPUT, or --output-dir DIR (not both)")
    if args.splits and args.output_dir is None:
        raise UsageError("--split-by splits into a folder of outputs: give --output-dir DIR instead of -o")
    if "qscore" in args.splits and args.min_qscore is None:
        raise UsageError("--split-by qscore needs the threshold: give --min-qscore Q")
    if "barcode" in args.splits and not _kits(args):
        raise UsageError("--split-by barcode needs barcodes classified: give --barcode-kits")
    if args.output_dir is not None:
        fmt, compressed = args.format or "bam", False
    else:
        fmt, compressed = format_of(args.output, args.format)
    for path in [args.reference, args.server_settings]:
        if path and not os.access(path, os.R_OK):
            raise UsageError(f"{path}: " + ("no such file" if not os.path.exists(path) else "not readable"))
    if fmt == "cram" and (not args.reference or args.reference.endswith(".mmi")):
        raise UsageError(
            f"{args.output or args.output_dir}: CRAM is written against its reference: "
            "give --reference with a FASTA file"
        )
    if args.dask and not args.server:
        raise UsageError("--dask needs the basecall servers of the workers: give them with --server")
    if args.server and args.server_settings:
        raise UsageError("--server-settings is for the private server: leave it out with --server")
    if not args.watch and (args.watch_stop_after is not None or args.watch_stop_file):
        raise UsageError("--watch-stop-after and --watch-stop-file end a --watch run: give --watch too")
    if args.watch and args.dask:
        raise UsageError("--watch runs here, not on a Dask cluster: leave out --dask")
    if args.resume and (args.dask or args.output_dir is not None):
        raise UsageError("--resume goes on with one output (-o) called here: leave out --dask and --output-dir")
    return fmt, compressed


def _plan_outputs(args: argparse.Namespace, fmt: str, compressed: bool) -> _Outputs:
    """The outputs, each checked writable and none of them an input or
    another output, before anything is started."""
    from corvane_cli.output_paths import OutputPath, refuse_overlaps
    from corvane_cli.split_outputs import SplitWriter

    output = OutputPath(args.output) if args.output is not None else None
    if args.output_dir is not None:
        SplitWriter.probe(args.output_dir)
    extra = [
        OutputPath(name, what) if name else None for name, what in ((args.summary, "summary"), (args.report, "report"))
    ]
    for item in extra:
        if item is not None and item.stdout:
            raise UsageError(f"only the reads (-o -) go to standard output, not the {item.what}")
    outputs = [item for item in [output, *extra] if item is not None]
    refuse_overlaps(
        [(path, "input") for path in args.input_files]
        + [
            (path, what)
            for path, what in ((args.reference, "reference"), (args.server_settings, "settings file"))
            if path
        ],
        outputs,
    )
    for item in outputs:
        item.probe()
    resumption = None
    if args.resume and output is not None:
        from corvane_cli.resume import prepare

        resumption = prepare(output, fmt, compressed, _recorded_options(args, fmt, compressed))
    return _Outputs(output, args.output_dir, extra[0], extra[1], resumption)


def _recorded_options(args: argparse.Namespace, fmt: str, compressed: bool) -> dict[str, Any]:
    """What must be the same for a run to go on with an earlier one's output."""
    return {
        "format": fmt,
        "compressed": compressed,
        "config": _config(args),
        "reference": os.path.abspath(args.reference) if args.reference else None,
        "moves": args.moves,
        "modified_bases": args.modified_bases,
        "barcode_kits": sorted(_kits(args)),
        "min_qscore": args.min_qscore,
    }


def _config(args: argparse.Namespace) -> str:
    return str(args.config or (MODIFIED_BASES_CONFIG if args.modified_bases else DEFAULT_CONFIG))


def _params(args: argparse.Namespace) -> dict[str, Any]:
    params: dict[str, Any] = {
        "client_name": "corvane_basecall",
        "reconnect_timeout": args.reconnect_timeout,
        "max_reads_queued": 64,
    }
    if args.moves:
        params["move_enabled"] = True
    if _kits(args):
        params["barcode_kits"] = _kits(args)
    if args.reference:
        params["align_ref"] = os.path.abspath(args.reference)
    return params


def _kits(args: argparse.Namespace) -> list[str]:
    return [kit for item in args.barcode_kits for kit in item.split(",") if kit]


def _server_settings(args: argparse.Namespace) -> dict[str, Any] | None:
    """The private server's settings from --server-settings, if given."""
    import json

    if not args.server_settings:
        return None
    try:
        with open(args.server_settings) as file:
            settings = json.load(file)
    except (OSError, ValueError) as error:
        raise UsageError(f"{args.server_settings}: not a readable settings file ({error})") from error
    if not isinstance(settings, dict):
        raise UsageError(f"{args.server_settings}: the settings are not a JSON object")
    return settings


def _launch_private_server(args: argparse.Namespace, stack: ExitStack, stop: StopRequest) -> EmbeddedServer | None:
    """The private server's process, started so that it comes up while the
    inputs are opened; None when a server is named, for a --watch run, or
    when it cannot be started now (the fault is then reported in its turn,
    after the inputs', as _private_server tries again)."""
    if args.server or args.watch:
        return None
    from corvane_cli.embedded_server import EmbeddedServer, EmbeddedServerError
    from corvane_cli.programs import ProgramNotFoundError

    try:
        server = EmbeddedServer(
            settings=_server_settings(args), settings_name=args.server_settings, should_stop=stop.check
        )
    except (UsageError, ProgramNotFoundError):
        return None
    stack.callback(server.stop)
    try:
        server.launch()
    except EmbeddedServerError:
        return None
    return server


def _private_server(
    args: argparse.Namespace, stack: ExitStack, stop: StopRequest, launched: EmbeddedServer | None = None
) -> EmbeddedServer:
    """The private server, started (or the one launched, once it answers);
    its settings file's faults are the user's input errors."""
    from corvane_cli.embedded_server import EmbeddedServer, EmbeddedServerError

    try:
        if launched is not None:
            launched.wait_until_ready()
            return launched
        return stack.enter_context(
            EmbeddedServer(settings=_server_settings(args), settings_name=args.server_settings, should_stop=stop.check)
        )
    except EmbeddedServerError as error:
        if error.settings_problem:
            raise UsageError(str(error)) from error
        raise


def _connect(
    args: argparse.Namespace,
    servers: list[str],
    config: str,
    params: dict[str, Any],
    stop: StopRequest,
    inputs: RunInputs,
    embedded: EmbeddedServer | None,
) -> Pipeline:
    from corvane_cli.pipeline import Pipeline, PipelineError

    try:
        pipeline = Pipeline(
            servers,
            config,
            params,
            clients=args.clients,
            max_in_flight=args.max_reads_in_flight,
            should_stop=stop.check,
            refetch=inputs.refetch,
        )
        stop.call(pipeline.connect, on_stop=pipeline.close)
    except PipelineError as error:
        raise UsageError(_connect_problem(error, args, config, embedded)) from error
    return pipeline


def _server_kits(address: str) -> list[dict[str, Any]]:
    import tavrix

    kits, result = tavrix.Corvane.get_barcode_kits(address, QUERY_TIMEOUT_MS)
    return kits if kits is not None and result == tavrix.Corvane.success else []


def _connect_problem(
    error: PipelineError, args: argparse.Namespace, config: str, embedded: EmbeddedServer | None
) -> str:
    """What a refused connection means for the user, with the choices the
    server offers where it can say."""
    where = "the private reference server" if embedded else error.address
    if error.result == "basecall_config_unavailable":
        names = embedded.configuration_names() if embedded else []
        offered = f"; it offers {', '.join(names)}" if names else ""
        return f"{where} has no basecalling configuration {config!r}{offered}"
    if error.result == "barcode_kit_unavailable":
        known = ", ".join(kit["kit_name"] for kit in _server_kits(error.address))
        return f"{where} does not know the barcode kit(s) {', '.join(_kits(args))}" + (
            f"; it knows {known}" if known else ""
        )
    if error.result == "align_index_unavailable":
        return f"{where} cannot load {args.reference} as a reference: {error.detail}"
    if embedded and error.address:
        return str(error).replace(error.address, where)
    return str(error)


def _read_groups(args: argparse.Namespace, pipeline: Pipeline, inputs: RunInputs, servers: list[str]) -> list[str]:
    from corvane_cli.read_groups import read_group_header_lines

    model = str(pipeline.basecalling_config().get("model_version_id", ""))
    arrangements = [""]
    kits = _kits(args)
    if kits:
        arrangements = ["unclassified"] + [
            name for kit in _server_kits(servers[0]) if kit["kit_name"] in kits for name in kit.get("barcode_names", [])
        ]
    return read_group_header_lines(inputs.run_ids(), model, arrangements)


def _chunks(reader: SignalFileReader) -> Iterator[tuple[list[InputRead], list[str]]]:
    """(reads, their truths) of a file, chunk by chunk."""
    for start, stop in reader.iter_ranges():
        yield reader.read_range(start, stop), reader.truth_range(start, stop)


@dataclass
class _Outputs:
    """Where a run writes: the reads, and the summary table and the report
    figure when asked for."""

    reads: OutputPath | None  # None when split under a folder
    folder: str | None
    summary: OutputPath | None
    report: OutputPath | None
    resumption: Resumption | None = None  # with --resume

    def kept(self, writer: BackgroundWriter) -> list[str]:
        """The partial files an incomplete run leaves."""
        return writer.kept() + [
            item.shown
            for item in (self.reads, self.summary, self.report)
            if item is not None and not item.in_place and item.partial_path.exists()
        ]


@dataclass
class _Sinks:
    """The open outputs of a run."""

    writer: BackgroundWriter
    summary_file: TextIO | None
    record: RunRecord
    # The table an HTML report is made from when there is no --summary.
    report_table: TextIO | None = None


class _OutputFailed(Exception):
    """An output could not be opened; the message names it."""


def run(args: argparse.Namespace) -> int:
    from corvane_cli.embedded_server import EmbeddedServerError
    from corvane_cli.input_folders import expand_inputs

    fmt, compressed = _check_options(args)
    args.input_files, folders = expand_inputs(args.inputs, args.recursive, allow_empty=args.watch)
    if args.watch and not folders:
        raise UsageError("--watch watches folders: give at least one folder as INPUT")
    outputs = _plan_outputs(args, fmt, compressed)
    config = _config(args)
    params = _params(args)
    with ExitStack() as stack:
        stop = stack.enter_context(StopRequest())
        launched = _launch_private_server(args, stack, stop)
        inputs = RunInputs(args.input_files, stack)
        watching = _Watching(args, folders, inputs, stack) if args.watch else None
        if watching is not None and not inputs.count:
            # The outputs' read groups come from the first file's run.
            watching.wait_for_first(stop)
        scheduler = _scheduler(args, stack, stop)
        try:
            servers, embedded = _servers(args, stack, stop, launched)
        except EmbeddedServerError as error:
            print(f"corvane basecall: {error}", file=sys.stderr)
            return EXIT_READS_FAILED
        pipeline = _connect(args, servers, config, params, stop, inputs, embedded)
        stack.callback(pipeline.close)
        if args.modified_bases and not pipeline.basecalling_config().get("modbase_model_version_id"):
            raise UsageError(f"configuration {config!r} calls no modified bases; choose one that does with --config")
        try:
            sinks = _open_outputs(args, outputs, fmt, compressed, pipeline, inputs, servers)
        except _OutputFailed as error:
            print(f"corvane basecall: {error}", file=sys.stderr)
            return EXIT_READS_FAILED
        calling = _Calling(args, pipeline, inputs, sinks.writer, sinks.record, watching, outputs.resumption)
        problem, code = calling.run(scheduler, servers, config, params, stop)
        problem, code = _close_outputs(args, outputs, sinks, calling, problem, code)
        calling.print_summary()
        if problem is not None:
            kept = outputs.kept(sinks.writer)
            print(
                f"corvane basecall: {problem}; the run is incomplete: {sinks.writer.records} records written"
                + (f", kept as {', '.join(kept)}" if kept else ""),
                file=sys.stderr,
            )
            return code
        counts = pipeline.counts
        skipped = watching is not None and watching.skipped
        return EXIT_READS_FAILED if counts.failed or counts.without_results or skipped else EXIT_OK


def _scheduler(args: argparse.Namespace, stack: ExitStack, stop: StopRequest) -> DaskClient | None:
    """The Dask cluster's client with --dask, closed with the run."""
    if not args.dask:
        return None
    from corvane_cli.distributed import DistributedError, connect_scheduler

    try:
        scheduler = stop.call(lambda: connect_scheduler(args.dask, min(args.reconnect_timeout, 30)))
    except DistributedError as error:
        raise UsageError(str(error)) from error
    stack.callback(scheduler.close)
    return scheduler


def _servers(
    args: argparse.Namespace, stack: ExitStack, stop: StopRequest, launched: EmbeddedServer | None
) -> tuple[list[str], EmbeddedServer | None]:
    """The servers' addresses: those named, else the private server's,
    started for the run (or launched ahead)."""
    if args.server:
        return list(args.server), None
    embedded = _private_server(args, stack, stop, launched)
    return [embedded.address], embedded


def _open_outputs(
    args: argparse.Namespace,
    outputs: _Outputs,
    fmt: str,
    compressed: bool,
    pipeline: Pipeline,
    inputs: RunInputs,
    servers: list[str],
) -> _Sinks:
    """The reads' writer (its header written, its thread started) and the
    summary table, open; raises _OutputFailed with nothing left behind."""
    from corvane_cli.background_writer import BackgroundWriter
    from corvane_cli.run_summary import RunRecord
    from corvane_cli.split_outputs import SplitWriter
    from corvane_cli.writers import OutputError, ReadWriter

    read_groups = _read_groups(args, pipeline, inputs, servers) if fmt != "fastq" else []
    sam_header = pipeline.sam_header()

    def make_writer(target: OutputPath, resume: Resumption | None = None) -> ReadWriter:
        try:
            return ReadWriter(
                target,
                fmt,
                compressed,
                sam_header=sam_header,
                command_line=sys.argv,
                include_moves=args.moves,
                sort=bool(args.reference),
                reference=args.reference,
                read_groups=read_groups,
                resume=resume,
            )
        except OutputError:
            if resume is None:
                target.discard()
            raise

    writer: ReadWriter | SplitWriter
    if outputs.folder is not None:
        writer = SplitWriter(outputs.folder, fmt, args.splits, args.min_qscore, make_writer)
    else:
        from corvane_cli.resume import write_sidecar

        assert outputs.reads is not None
        try:
            writer = make_writer(outputs.reads, outputs.resumption)
            write_sidecar(outputs.reads, _recorded_options(args, fmt, compressed))
        except OSError as error:
            raise _OutputFailed(f"cannot write beside {outputs.reads.name}: {error.strerror or error}") from error
        except OutputError as error:
            raise _OutputFailed(str(error)) from error
    summary_file = None
    carried: list[str] = []
    if outputs.summary is not None:
        try:
            if outputs.resumption is not None:
                from corvane_cli.run_summary import carried_rows

                carried = carried_rows(outputs.summary, outputs.resumption.ids)
            summary_file = outputs.summary.open_text()
        except OSError as error:
            writer.close(complete=False)
            if outputs.reads is not None and outputs.resumption is None:
                outputs.reads.discard()  # a resumed output keeps what it holds
            raise _OutputFailed(f"cannot write {outputs.summary.shown}: {error.strerror or error}") from error
    report_table = None
    if summary_file is None and _html_report(args):
        import tempfile

        # Removed when closed, after the report.
        report_table = cast(
            TextIO, tempfile.NamedTemporaryFile("w+", encoding="utf-8", prefix="corvane-report-", suffix=".tsv")
        )
    record = RunRecord(summary_file or report_table, args.min_qscore)
    record.carry(carried)
    # Written off the driving thread from here on; a read that cannot be
    # written fails as it did when written in place.
    return _Sinks(BackgroundWriter(writer, pipeline.counts.fail_returned), summary_file, record, report_table)


def _html_report(args: argparse.Namespace) -> bool:
    return bool(args.report) and str(args.report).lower().endswith((".html", ".htm"))


def _close_outputs(
    args: argparse.Namespace, outputs: _Outputs, sinks: _Sinks, calling: _Calling, problem: str | None, code: int
) -> tuple[str | None, int]:
    """Closes every output, giving each its name when the run is complete,
    and writes the report; returns the run's (problem, exit code) with
    what failed on the way added."""
    from corvane_cli.writers import OutputError

    complete = problem is None
    try:
        sinks.writer.close(complete=complete)
    except OutputError as error:
        problem, code, complete = str(error), EXIT_READS_FAILED, False
    if sinks.summary_file is not None and outputs.summary is not None:
        sinks.summary_file.close()
        if complete:
            outputs.summary.commit()
    report = outputs.report
    if report is not None and code != EXIT_INTERRUPTED:
        from corvane_cli.html_report import ReportError, write_html_report

        try:
            if _html_report(args):
                table = sinks.report_table
                if table is not None:
                    table.flush()
                source = table.name if table is not None else str(_closed_summary(outputs, complete))
                title = f"corvane basecall: {', '.join(args.inputs)} to {args.output or args.output_dir}"
                write_html_report([source], report.partial_path, title)
            else:
                sinks.record.write_report(
                    report.partial_path,
                    args.inputs,
                    args.output or args.output_dir,
                    calling.pipeline.counts,
                    calling.inputs.total,
                    calling.seconds,
                )
            if complete:
                report.commit()
        except (OSError, ValueError, ReportError) as error:
            print(f"corvane basecall: cannot write {report.shown}: {error}", file=sys.stderr)
            code = code or EXIT_READS_FAILED
        finally:
            if sinks.report_table is not None:
                sinks.report_table.close()
    return problem, code


def _closed_summary(outputs: _Outputs, complete: bool) -> Path:
    """Where the summary table is once closed: its name, or still .partial."""
    assert outputs.summary is not None
    return outputs.summary.path if complete and not outputs.summary.in_place else outputs.summary.partial_path


class _Calling:
    """The calling phase of a run: reads passed, results written as they
    come back, and what became of every read."""

    def __init__(
        self,
        args: argparse.Namespace,
        pipeline: Pipeline,
        inputs: RunInputs,
        writer: BackgroundWriter,
        record: RunRecord,
        watching: _Watching | None = None,
        resumption: Resumption | None = None,
    ) -> None:
        self.args = args
        self.watching = watching
        self.resumed = resumption.ids if resumption is not None else set()
        # Reads below --min-qscore are left out unless split into fail/.
        self._drops_failing = args.min_qscore is not None and "qscore" not in args.splits
        self.below_min_qscore = 0
        self.pipeline = pipeline
        self.inputs = inputs
        self.writer = writer
        self.record = record
        self.timings = {"reading": 0.0, "writing": 0.0}  # the driving thread's waits for them
        self.reader_cpu_s = 0.0
        self.started = time.monotonic()
        self.seconds = 0.0
        self._progress: tqdm | None = None  # while run() runs

    def on_results(self, read_id: str, group: Group) -> None:
        began = time.monotonic()
        if self._drops_failing and not self._passes(group):
            if any("sequence" in read["datasets"] for read in group):
                self.below_min_qscore += 1
        else:
            self.writer.put(read_id, group)
        self.record.add(read_id, group)
        self.timings["writing"] += time.monotonic() - began
        if self._progress is not None:
            self._show_progress(self._progress)

    def _passes(self, group: Group) -> bool:
        from corvane_cli.split_outputs import passes

        return passes(group, self.args.min_qscore)

    def _show_progress(self, progress: tqdm) -> None:
        if progress.disable:
            # No terminal: nothing is shown, and the count stays at 0, which
            # would refresh the figures for every read.
            return
        progress.update(1)
        elapsed = time.monotonic() - self.started
        if progress.n % 64 == 0 and elapsed > 0:
            progress.set_postfix(
                samples_s=f"{self.pipeline.counts.samples_in / elapsed:.3g}",
                in_flight=self.pipeline.in_flight,
                refresh=False,
            )

    def run(
        self, scheduler: DaskClient | None, servers: list[str], config: str, params: dict[str, Any], stop: StopRequest
    ) -> tuple[str | None, int]:
        """Calls every read; returns (problem, exit code), problem None when
        the run went through to its end. The progress bar lives as long as
        the calling, and only on a terminal: elsewhere nothing would be
        shown, and the bar's package is not even loaded."""
        isatty = getattr(sys.stderr, "isatty", None)
        if isatty is not None and not isatty():
            try:
                return self._call(scheduler, servers, config, params, stop)
            finally:
                self.seconds = time.monotonic() - self.started
        from tqdm import tqdm

        with tqdm(
            total=self.inputs.total, unit="read", file=sys.stderr, disable=None, dynamic_ncols=True, mininterval=0.5
        ) as self._progress:
            try:
                return self._call(scheduler, servers, config, params, stop)
            finally:
                self.seconds = time.monotonic() - self.started
                self._progress = None

    def _call(
        self, scheduler: DaskClient | None, servers: list[str], config: str, params: dict[str, Any], stop: StopRequest
    ) -> tuple[str | None, int]:
        from corvane_cli.distributed import DistributedError
        from corvane_cli.pipeline import ServerLost
        from corvane_cli.signal_file import SignalFileError
        from corvane_cli.writers import OutputError

        pipeline = self.pipeline
        try:
            if scheduler is not None:
                self._call_distributed(scheduler, servers, config, params, stop)
            else:
                self._call_locally()
            self.writer.settle()
        except ServerLost as error:
            pipeline.lose_in_flight(f"did not return ({_one_line(error)})")
            return f"server lost: {_one_line(error)}", EXIT_READS_FAILED
        except SignalFileError as error:
            # The reads already out are still collected and written.
            try:
                pipeline.wait_for_results(self.on_results)
            except (ServerLost, KeyboardInterrupt) as lost:
                pipeline.lose_in_flight(f"did not return ({_one_line(lost) or 'interrupted'})")
            return str(error), EXIT_USAGE
        except OutputError as error:
            pipeline.lose_in_flight("not written: the output failed")
            return str(error), EXIT_READS_FAILED
        except DistributedError as error:
            return str(error), EXIT_READS_FAILED
        except KeyboardInterrupt:
            pipeline.lose_in_flight("did not return: interrupted")
            return "interrupted", EXIT_INTERRUPTED
        return None, EXIT_OK

    def _call_locally(self) -> None:
        number = 0
        while True:
            while number < self.inputs.count:
                self._call_file(number)
                number += 1
            if self.watching is None or not self.watching.wait_for_files(self.pipeline, self.on_results):
                break
            if self._progress is not None:
                self._progress.total = self.inputs.total
                self._progress.refresh()
        self.pipeline.finish(self.on_results)

    def _call_file(self, number: int) -> None:
        from corvane_cli.pipeline import Prefetcher

        reader = self.inputs.reader(number)
        offset = self.inputs.offsets[number]
        with Prefetcher(_chunks(reader)) as chunks:
            first = True
            while True:
                began = time.monotonic()
                item = next(chunks, None)
                self.timings["reading"] += time.monotonic() - began
                if item is None:
                    break
                reads, truths = item
                self.pipeline.feed(self._to_pass(reads, truths, offset), self.on_results)
                if first and self.watching is not None:
                    self._note(f"{reader.path}: {reader.num_reads} reads, passing")
                first = False
        self.reader_cpu_s += chunks.cpu_s

    def _note(self, text: str) -> None:
        if self._progress is not None:
            self._progress.write(f"corvane basecall: {text}", file=sys.stderr)
        else:
            print(f"corvane basecall: {text}", file=sys.stderr, flush=True)

    def _to_pass(self, reads: list[InputRead], truths: list[str], offset: int) -> list[InputRead]:
        """The reads of a chunk to pass, tagged across the run; a read id an
        earlier input gave fails here."""
        passing = []
        for read, truth in zip(reads, truths):
            if read["read_id"] in self.resumed:
                self.record.taken_over += 1
                continue
            read["read_tag"] += offset
            repeated = self.inputs.repeats.get(read["read_tag"])
            if repeated:
                self.pipeline.counts.fail(read["read_id"], repeated)
                continue
            if truth:
                self.record.expect(read["read_tag"], truth)
            passing.append(read)
        return passing

    def _call_distributed(
        self, scheduler: DaskClient, servers: list[str], config: str, params: dict[str, Any], stop: StopRequest
    ) -> None:
        from corvane_cli.distributed import run_distributed

        for number in range(self.inputs.count):
            reader = self.inputs.reader(number)
            on_range, on_results = self._range_callbacks(reader, self.inputs.offsets[number])
            run_distributed(
                scheduler,
                servers,
                reader,
                config,
                params,
                on_results,
                counts=self.pipeline.counts,
                clients=self.args.clients,
                should_stop=stop.check,
                on_range=on_range,
            )

    def _range_callbacks(self, reader: SignalFileReader, offset: int) -> tuple[Callable[[int, int], None], OnResults]:
        """What the cluster's ranges of one input file are handed to: their
        truths before they are called, then their groups, tagged across the
        run."""

        def on_range(start: int, end: int) -> None:
            for index, truth in enumerate(reader.truth_range(start, end), start + offset):
                if truth:
                    self.record.expect(index, truth)

        def on_results(read_id: str, group: Group) -> None:
            for read in group:
                read["read_tag"] += offset
            repeated = self.inputs.repeats.get(group[0]["read_tag"])
            if repeated:
                self.pipeline.counts.fail_returned(read_id, group, repeated)
                return
            self.on_results(read_id, group)

        return on_range, on_results

    def print_summary(self) -> None:
        counts = self.pipeline.counts
        for line in self.record.summary_lines(counts, self.inputs.total, self.seconds):
            print(line, file=sys.stderr)
        if self._drops_failing:
            print(
                f"reads below --min-qscore {self.args.min_qscore:g}: {self.below_min_qscore} (not written)",
                file=sys.stderr,
            )
        if self.watching is not None and self.watching.skipped:
            print(f"files skipped: {len(self.watching.skipped)} (unreadable, listed above)", file=sys.stderr)
        if self.args.timings and self.seconds > 0:
            shares = dict(self.timings, client=self.pipeline.client_s)
            shares["other"] = max(0.0, self.seconds - sum(shares.values()))
            print(
                "time: "
                + ", ".join(
                    f"{name} {seconds:.2f} s ({100 * seconds / self.seconds:.0f}%)" for name, seconds in shares.items()
                ),
                file=sys.stderr,
            )
            print(
                f"time off the driving thread (CPU): reading {self.reader_cpu_s:.2f} s, "
                f"writing {self.writer.cpu_s:.2f} s",
                file=sys.stderr,
            )


class _Watching:
    """The watch of a --watch run over its input folders: new signal files
    are added to the run's inputs as they appear, until the watch ends."""

    # How long one wait for new files lasts, so that results are collected
    # and a stop request is seen meanwhile.
    IDLE_WAIT_S = 0.1
    BUSY_WAIT_S = 0.005

    def __init__(self, args: argparse.Namespace, folders: list[str], inputs: RunInputs, stack: ExitStack) -> None:
        from corvane_cli.input_folders import FolderWatch, WatchEnd

        self.inputs = inputs
        self.watch = FolderWatch(folders, args.recursive, inputs.paths)
        stack.callback(self.watch.close)
        self.end = WatchEnd(args.watch_stop_after, args.watch_stop_file)
        self.skipped: list[str] = []
        print(
            f"corvane basecall: watching {', '.join(folders)} for new signal files"
            + (" (inotify)" if self.watch.uses_inotify else " (polling)"),
            file=sys.stderr,
            flush=True,
        )

    def _take(self, timeout_s: float) -> bool:
        """Adds the files that appeared (waiting up to timeout_s); whether
        any was added. A file that cannot be read is skipped with a
        warning: the run goes on, and ends with exit code 1."""
        self.end.look()
        added = False
        for path in self.watch.poll(timeout_s):
            try:
                self.inputs.add(path)
                added = True
            except UsageError as error:
                self.skipped.append(path)
                print(f"corvane basecall: skipped {error}", file=sys.stderr, flush=True)
        if added:
            self.end.new_files()
        return added

    def wait_for_first(self, stop: StopRequest) -> None:
        while not self._take(self.IDLE_WAIT_S) and not self.end.reached():
            stop.check()

    def wait_for_files(self, pipeline: Pipeline, on_results: OnResults) -> bool:
        """Collects results while waiting for new files; True once some were
        added, False when the watch has ended."""
        while True:
            came_back = pipeline.collect(on_results)
            busy = came_back or pipeline.in_flight
            if self._take(0.0 if came_back else self.BUSY_WAIT_S if busy else self.IDLE_WAIT_S):
                return True
            if self.end.reached():
                return False


def _one_line(error: BaseException) -> str:
    return "; ".join(line.strip() for line in str(error).splitlines() if line.strip())
