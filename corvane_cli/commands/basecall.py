"""corvane basecall: signal files in, called reads out (FASTQ, SAM, BAM or
CRAM), through a pool of clients on the named servers or on a private
reference server."""

import argparse
import bisect
import os
import signal
import sys
import threading
import time
from contextlib import ExitStack

from corvane_cli.errors import EXIT_INTERRUPTED, EXIT_OK, EXIT_READS_FAILED, EXIT_USAGE, Abandoned, UsageError

DEFAULT_CONFIG = "ref_dna_fast"
MODIFIED_BASES_CONFIG = "ref_dna_accurate"
QUERY_TIMEOUT_MS = 2000
# How long a call that a stop request cannot cut short is waited for once
# asked to stop; then the process ends without it.
STOP_GRACE_S = 1.5
WAIT_SLICE_S = 0.1


def add_parser(subparsers):
    parser = subparsers.add_parser(
        "basecall", help="basecall signal files into FASTQ, SAM, BAM or CRAM",
        description="Basecall the reads of one or more signal files. Without --server a private reference "
                    "server is started for the run and stopped at its end.",
        epilog="Exit codes: 0 every read called and written; 1 some reads failed (listed in the summary), the run "
               "could not go on (a lost server) or the output could not be written; 2 bad command line or "
               "unreadable input; 130 interrupted. Every output (the reads, --summary, --report) is written to "
               "NAME.partial and renamed to NAME only when the run is complete; standard output, devices and "
               "links are written in place. The summary goes to standard error.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="signal files")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="output file, its name ending in .fastq or .fq (.gz for BGZF-compressed FASTQ), .sam, "
                             ".bam or .cram; or - for standard output (SAM unless --format says otherwise; a BAM or "
                             "CRAM there is not sorted or indexed)")
    parser.add_argument("--format", choices=("fastq", "sam", "bam", "cram"),
                        help="output format, for a name without a known ending or for -; must agree with the name")
    parser.add_argument("--server", action="append", default=[], metavar="ADDRESS",
                        help="basecall server (repeat for several; the clients are spread over them)")
    parser.add_argument("--config", help=f"basecalling configuration (default {DEFAULT_CONFIG}, "
                                         f"{MODIFIED_BASES_CONFIG} with --modified-bases)")
    parser.add_argument("--reference", metavar="FASTA",
                        help="align to this reference (FASTA, gzip-compressed FASTA or minimap2 index); a BAM or "
                             "CRAM file is then sorted and indexed; CRAM needs a FASTA")
    parser.add_argument("--clients", type=_positive, default=2, metavar="N", help="library clients in all (default 2)")
    parser.add_argument("--moves", action="store_true", help="ask for move tables and write them")
    parser.add_argument("--barcode-kits", action="append", default=[], metavar="KIT",
                        help="classify barcodes of these kits (comma-separated or repeated)")
    parser.add_argument("--modified-bases", action="store_true", help="call modified bases (MM/ML tags in SAM/BAM)")
    parser.add_argument("--summary", metavar="TSV", help="write a per-read summary table")
    parser.add_argument("--report", metavar="PNG", help="write a report figure")
    parser.add_argument("--dask", metavar="SCHEDULER", help="spread the input over the workers of this Dask cluster")
    parser.add_argument("--reconnect-timeout", type=_positive, default=300, metavar="S",
                        help="how long a lost server is waited for (default 300 s), and the Dask scheduler "
                             "(at most 30 s)")
    parser.add_argument("--max-reads-in-flight", type=_positive, default=2000, metavar="N",
                        help="reads passed and not yet back, at most (default 2000)")
    parser.add_argument("--timings", action="store_true",
                        help="also print the time spent reading, in client calls and writing")
    parser.add_argument("--server-settings", metavar="JSON", help="settings file of the private reference server")
    format_help = parser.format_help
    parser.format_help = lambda: format_help() + _private_server_choices()
    return parser


def _private_server_choices():
    """The help's note on what the private server offers, asked of the
    server program; empty when it cannot be asked."""
    try:
        from corvane_cli.embedded_server import default_settings
        settings = default_settings()
    except Exception:  # the help is shown without the note
        return ""
    configs = ", ".join(entry["name"] for entry in settings.get("configurations", []))
    kits = ", ".join(entry["kit_name"] for entry in settings.get("barcode_kits", []))
    return (f"\nThe private reference server offers the configurations {configs} and the barcode kits {kits}. "
            "A named server's kits: corvane query ADDRESS kits.\n")


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


class _StopRequest:
    """SIGINT and SIGTERM only set a flag: the run stops at its next safe
    point, never in the middle of writing a record, and every wait looks at
    the flag at least every WAIT_SLICE_S."""

    def __init__(self):
        self.signal = None
        self._previous = {}

    def __enter__(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(self, *exc):
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _handle(self, number, frame):
        self.signal = number

    def check(self):
        if self.signal is not None:
            raise KeyboardInterrupt

    def call(self, function, on_stop=None):
        """function() on a thread of its own, for calls that block in the
        library; a stop request runs on_stop() (which should cut the call
        short) and raises KeyboardInterrupt, or Abandoned when the call is
        still running STOP_GRACE_S later."""
        outcome = {}

        def target():
            try:
                outcome["value"] = function()
            except BaseException as error:  # raised in the caller's thread below
                outcome["error"] = error

        thread = threading.Thread(target=target, name="corvane_call", daemon=True)
        thread.start()
        while thread.is_alive():
            thread.join(WAIT_SLICE_S)
            if self.signal is not None and thread.is_alive():
                stopping = threading.Thread(target=on_stop or (lambda: None), name="corvane_stop", daemon=True)
                stopping.start()
                thread.join(STOP_GRACE_S)
                stopping.join(0)
                raise Abandoned if thread.is_alive() or stopping.is_alive() else KeyboardInterrupt
        if "error" in outcome:
            raise outcome["error"]
        self.check()
        return outcome.get("value")


class _Inputs:
    """The input files, open. Reads are tagged across the run: file after
    file, a read's tag is its file's offset plus its index there. A read id
    that an earlier input already gave is failed, not called again."""

    def __init__(self, paths, stack):
        import numpy as np

        from corvane_cli.output_paths import file_identity
        from corvane_cli.signal_file import SignalFileError, SignalFileReader, repeated_ids

        seen = {}
        for path in paths:
            key = file_identity(path)
            if key is not None and key in seen:
                raise UsageError(f"{path}: given twice (also as {seen[key]})")
            seen[key] = path
        self.readers = []
        for path in paths:
            try:
                self.readers.append(stack.enter_context(SignalFileReader(path)))
            except SignalFileError as error:
                raise UsageError(str(error)) from error
        self.offsets = [0]
        for reader in self.readers:
            self.offsets.append(self.offsets[-1] + reader.num_reads)
        self.total = self.offsets.pop()
        self.repeats = {}  # read tag -> why it is not called
        if len(self.readers) > 1:
            hashes = np.concatenate([reader.id_hashes for reader in self.readers])
            for first, later in repeated_ids(hashes, self._read_id):
                self.repeats[later] = f"read id given again (first in {self._locate(first)[0].path})"

    def _read_id(self, tag):
        reader, index = self._locate(tag)
        return reader.read_id(index)

    def _locate(self, tag):
        number = bisect.bisect_right(self.offsets, tag) - 1
        return self.readers[number], tag - self.offsets[number]

    def refetch(self, tags):
        """The reads of these tags, read again from their files."""
        reads = []
        for tag in tags:
            reader, index = self._locate(tag)
            [read] = reader.read_range(index, index + 1)
            read["read_tag"] = tag
            reads.append(read)
        return reads

    def run_ids(self):
        return set().union(*(reader.run_ids() for reader in self.readers))


def _check_options(args):
    from corvane_cli.writers import format_of

    fmt, compressed = format_of(args.output, args.format)
    for path in [args.reference, args.server_settings]:
        if path and not os.access(path, os.R_OK):
            raise UsageError(f"{path}: " + ("no such file" if not os.path.exists(path) else "not readable"))
    if fmt == "cram" and (not args.reference or args.reference.endswith(".mmi")):
        raise UsageError(f"{args.output}: CRAM is written against its reference: give --reference with a FASTA file")
    if args.dask and not args.server:
        raise UsageError("--dask needs the basecall servers of the workers: give them with --server")
    if args.server and args.server_settings:
        raise UsageError("--server-settings is for the private server: leave it out with --server")
    return fmt, compressed


def _plan_outputs(args):
    """The outputs, each checked writable and none of them an input or
    another output, before anything is started."""
    from corvane_cli.output_paths import OutputPath, refuse_overlaps

    output = OutputPath(args.output)
    extra = [OutputPath(name, what) if name else None for name, what in ((args.summary, "summary"),
                                                                          (args.report, "report"))]
    for item in extra:
        if item is not None and item.stdout:
            raise UsageError(f"only the reads (-o -) go to standard output, not the {item.what}")
    outputs = [item for item in [output, *extra] if item is not None]
    refuse_overlaps([(path, "input") for path in args.inputs]
                    + [(path, what) for path, what in ((args.reference, "reference"),
                                                       (args.server_settings, "settings file")) if path], outputs)
    for item in outputs:
        item.probe()
    return output, *extra


def _params(args):
    params = {"client_name": "corvane_basecall", "reconnect_timeout": args.reconnect_timeout,
              "max_reads_queued": 64}
    if args.moves:
        params["move_enabled"] = True
    if _kits(args):
        params["barcode_kits"] = _kits(args)
    if args.reference:
        params["align_ref"] = os.path.abspath(args.reference)
    return params


def _kits(args):
    return [kit for item in args.barcode_kits for kit in item.split(",") if kit]


def _private_server(args, stack, stop):
    """The private server, started; its settings file's faults are the
    user's input errors."""
    import json

    from corvane_cli.embedded_server import EmbeddedServer, EmbeddedServerError

    settings = None
    if args.server_settings:
        try:
            with open(args.server_settings) as file:
                settings = json.load(file)
        except (OSError, ValueError) as error:
            raise UsageError(f"{args.server_settings}: not a readable settings file ({error})") from error
        if not isinstance(settings, dict):
            raise UsageError(f"{args.server_settings}: the settings are not a JSON object")
    try:
        return stack.enter_context(EmbeddedServer(settings=settings, settings_name=args.server_settings,
                                                  should_stop=stop.check))
    except EmbeddedServerError as error:
        if error.settings_problem:
            raise UsageError(str(error)) from error
        raise


def _connect(args, servers, config, params, stop, inputs, embedded):
    from corvane_cli.pipeline import Pipeline, PipelineError

    try:
        pipeline = Pipeline(servers, config, params, clients=args.clients, max_in_flight=args.max_reads_in_flight,
                            should_stop=stop.check, refetch=inputs.refetch)
        stop.call(pipeline.connect, on_stop=pipeline.close)
    except PipelineError as error:
        raise UsageError(_connect_problem(error, args, config, embedded)) from error
    return pipeline


def _server_kits(address):
    import tavrix

    kits, result = tavrix.Corvane.get_barcode_kits(address, QUERY_TIMEOUT_MS)
    return kits if result == tavrix.Corvane.success else []


def _connect_problem(error, args, config, embedded):
    """What a refused connection means for the user, with the choices the
    server offers where it can say."""
    where = "the private reference server" if embedded else error.address
    if error.result == "basecall_config_unavailable":
        names = embedded.configuration_names() if embedded else []
        offered = f"; it offers {', '.join(names)}" if names else ""
        return f"{where} has no basecalling configuration {config!r}{offered}"
    if error.result == "barcode_kit_unavailable":
        known = ", ".join(kit["kit_name"] for kit in _server_kits(error.address))
        return (f"{where} does not know the barcode kit(s) {', '.join(_kits(args))}"
                + (f"; it knows {known}" if known else ""))
    if error.result == "align_index_unavailable":
        return f"{where} cannot load {args.reference} as a reference: {error.detail}"
    if embedded and error.address:
        return str(error).replace(error.address, where)
    return str(error)


def _read_groups(args, pipeline, inputs, servers):
    from corvane_cli.read_groups import read_group_header_lines

    model = pipeline.basecalling_config().get("model_version_id", "")
    arrangements = [""]
    kits = _kits(args)
    if kits:
        arrangements = ["unclassified"] + [name for kit in _server_kits(servers[0]) if kit["kit_name"] in kits
                                           for name in kit.get("barcode_names", [])]
    return read_group_header_lines(inputs.run_ids(), model, arrangements)


def _chunks(reader):
    """(reads, their truths) of a file, chunk by chunk."""
    for start, stop in reader.iter_ranges():
        yield reader.read_range(start, stop), reader.truth_range(start, stop)


def run(args):
    from tqdm import tqdm

    from corvane_cli.embedded_server import EmbeddedServerError
    from corvane_cli.run_summary import RunRecord
    from corvane_cli.writers import OutputError, ReadWriter

    fmt, compressed = _check_options(args)
    output, summary, report = _plan_outputs(args)
    config = args.config or (MODIFIED_BASES_CONFIG if args.modified_bases else DEFAULT_CONFIG)
    params = _params(args)

    with ExitStack() as stack:
        stop = stack.enter_context(_StopRequest())
        inputs = _Inputs(args.inputs, stack)
        scheduler = None
        if args.dask:
            from corvane_cli.distributed import DistributedError, connect_scheduler
            try:
                scheduler = stop.call(lambda: connect_scheduler(args.dask, min(args.reconnect_timeout, 30)))
            except DistributedError as error:
                raise UsageError(str(error)) from error
            stack.callback(scheduler.close)
        embedded = None
        servers = list(args.server)
        if not servers:
            try:
                embedded = _private_server(args, stack, stop)
            except EmbeddedServerError as error:
                print(f"corvane basecall: {error}", file=sys.stderr)
                return EXIT_READS_FAILED
            servers = [embedded.address]
        pipeline = _connect(args, servers, config, params, stop, inputs, embedded)
        stack.callback(pipeline.close)
        if args.modified_bases and not pipeline.basecalling_config().get("modbase_model_version_id"):
            raise UsageError(f"configuration {config!r} calls no modified bases; choose one that does with --config")

        try:
            writer = ReadWriter(output, fmt, compressed, sam_header=pipeline.sam_header(), command_line=sys.argv,
                                include_moves=args.moves, sort=bool(args.reference), reference=args.reference,
                                read_groups=_read_groups(args, pipeline, inputs, servers) if fmt != "fastq" else ())
        except OutputError as error:
            output.discard()
            print(f"corvane basecall: {error}", file=sys.stderr)
            return EXIT_READS_FAILED
        try:
            summary_file = summary.open_text() if summary else None
        except OSError as error:
            writer.close(complete=False)
            output.discard()
            print(f"corvane basecall: cannot write {summary.shown}: {error.strerror or error}", file=sys.stderr)
            return EXIT_READS_FAILED
        record = RunRecord(summary_file)
        progress = stack.enter_context(tqdm(total=inputs.total, unit="read", file=sys.stderr, disable=None,
                                            dynamic_ncols=True, mininterval=0.5))
        calling = _Calling(args, pipeline, inputs, writer, record, progress)
        problem, code = calling.run(scheduler, servers, config, params, stop)
        complete = problem is None
        try:
            writer.close(complete=complete)
        except OutputError as error:
            problem, code, complete = str(error), EXIT_READS_FAILED, False
        if summary_file is not None:
            summary_file.close()
            if complete:
                summary.commit()
        if report is not None and code != EXIT_INTERRUPTED:
            try:
                record.write_report(report.partial_path, args.inputs, args.output, pipeline.counts, inputs.total,
                                    calling.seconds)
                if complete:
                    report.commit()
            except (OSError, ValueError) as error:
                print(f"corvane basecall: cannot write {report.shown}: {error}", file=sys.stderr)
                code = code or EXIT_READS_FAILED
        calling.print_summary()
        if problem is not None:
            kept = [item.shown for item in (output, summary, report)
                    if item is not None and not item.in_place and item.partial_path.exists()]
            print(f"corvane basecall: {problem}; the run is incomplete: {writer.records} records written"
                  + (f", kept as {', '.join(kept)}" if kept else ""), file=sys.stderr)
            return code
        counts = pipeline.counts
        return EXIT_READS_FAILED if counts.failed or counts.without_results else EXIT_OK


class _Calling:
    """The calling phase of a run: reads passed, results written as they
    come back, and what became of every read."""

    def __init__(self, args, pipeline, inputs, writer, record, progress):
        self.args = args
        self.pipeline = pipeline
        self.inputs = inputs
        self.writer = writer
        self.record = record
        self.progress = progress
        self.timings = {"reading": 0.0, "writing": 0.0}
        self.started = time.monotonic()
        self.seconds = 0.0

    def on_results(self, read_id, group):
        began = time.monotonic()
        try:
            self.writer.write(group)
        except ValueError as error:
            self.pipeline.counts.fail_returned(read_id, group, f"cannot be written: {error}")
        self.record.add(read_id, group)
        self.timings["writing"] += time.monotonic() - began
        self.progress.update(1)
        elapsed = time.monotonic() - self.started
        if self.progress.n % 64 == 0 and elapsed > 0:
            self.progress.set_postfix(samples_s=f"{self.pipeline.counts.samples_in / elapsed:.3g}",
                                      in_flight=self.pipeline.in_flight, refresh=False)

    def run(self, scheduler, servers, config, params, stop):
        """Calls every read; returns (problem, exit code), problem None when
        the run went through to its end."""
        from corvane_cli.distributed import DistributedError
        from corvane_cli.pipeline import ServerLost
        from corvane_cli.signal_file import SignalFileError
        from corvane_cli.writers import OutputError

        pipeline = self.pipeline
        problem = code = None
        try:
            if scheduler is not None:
                self._call_distributed(scheduler, servers, config, params, stop)
            else:
                self._call_locally()
        except ServerLost as error:
            problem, code = f"server lost: {_one_line(error)}", EXIT_READS_FAILED
            pipeline.lose_in_flight(f"did not return ({_one_line(error)})")
        except SignalFileError as error:
            # The reads already out are still collected and written.
            problem, code = str(error), EXIT_USAGE
            try:
                pipeline.wait_for_results(self.on_results)
            except (ServerLost, KeyboardInterrupt) as lost:
                pipeline.lose_in_flight(f"did not return ({_one_line(lost) or 'interrupted'})")
        except OutputError as error:
            problem, code = str(error), EXIT_READS_FAILED
            pipeline.lose_in_flight("not written: the output failed")
        except DistributedError as error:
            problem, code = str(error), EXIT_READS_FAILED
        except KeyboardInterrupt:
            problem, code = "interrupted", EXIT_INTERRUPTED
            pipeline.lose_in_flight("did not return: interrupted")
        finally:
            self.progress.close()
            self.seconds = time.monotonic() - self.started
        return problem, code

    def _call_locally(self):
        from corvane_cli.pipeline import Prefetcher

        counts = self.pipeline.counts
        for number, reader in enumerate(self.inputs.readers):
            offset = self.inputs.offsets[number]
            with Prefetcher(_chunks(reader)) as chunks:
                while True:
                    began = time.monotonic()
                    item = next(chunks, None)
                    self.timings["reading"] += time.monotonic() - began
                    if item is None:
                        break
                    passing = []
                    for read, truth in zip(*item):
                        read["read_tag"] += offset
                        repeated = self.inputs.repeats.get(read["read_tag"])
                        if repeated:
                            counts.fail(read["read_id"], repeated)
                            continue
                        if truth:
                            self.record.expect(read["read_tag"], truth)
                        passing.append(read)
                    self.pipeline.feed(passing, self.on_results)
        self.pipeline.finish(self.on_results)

    def _call_distributed(self, scheduler, servers, config, params, stop):
        from corvane_cli.distributed import run_distributed

        counts = self.pipeline.counts
        for number, reader in enumerate(self.inputs.readers):
            offset = self.inputs.offsets[number]

            def on_range(start, end, reader=reader, offset=offset):
                for index, truth in enumerate(reader.truth_range(start, end), start + offset):
                    if truth:
                        self.record.expect(index, truth)

            def on_results(read_id, group, offset=offset):
                for read in group:
                    read["read_tag"] += offset
                repeated = self.inputs.repeats.get(group[0]["read_tag"])
                if repeated:
                    counts.fail_returned(read_id, group, repeated)
                    return
                self.on_results(read_id, group)

            run_distributed(scheduler, servers, reader, config, params, on_results, counts=counts,
                            clients=self.args.clients, should_stop=stop.check, on_range=on_range)

    def print_summary(self):
        counts = self.pipeline.counts
        for line in self.record.summary_lines(counts, self.inputs.total, self.seconds):
            print(line, file=sys.stderr)
        if self.args.timings and self.seconds > 0:
            shares = dict(self.timings, client=self.pipeline.client_s)
            shares["other"] = max(0.0, self.seconds - sum(shares.values()))
            print("time: " + ", ".join(f"{name} {seconds:.2f} s ({100 * seconds / self.seconds:.0f}%)"
                                       for name, seconds in shares.items()), file=sys.stderr)


def _one_line(error):
    return "; ".join(line.strip() for line in str(error).splitlines() if line.strip())
