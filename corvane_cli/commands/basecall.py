"""corvane basecall: signal files in, called reads out (FASTQ, SAM or BAM),
through a pool of clients on the named servers or on a private reference
server."""

import argparse
import os
import signal
import sys
import time
from contextlib import ExitStack

from corvane_cli.errors import EXIT_INTERRUPTED, EXIT_OK, EXIT_READS_FAILED, UsageError

DEFAULT_CONFIG = "ref_dna_fast"
MODIFIED_BASES_CONFIG = "ref_dna_accurate"
TAG_RANGE = 1 << 32


def add_parser(subparsers):
    parser = subparsers.add_parser(
        "basecall", help="basecall signal files into FASTQ, SAM or BAM",
        description="Basecall the reads of one or more signal files. Without --server a private reference "
                    "server is started for the run and stopped at its end.",
        epilog="Exit codes: 0 every read called and written; 1 some reads failed (listed in the summary) or the "
               "output could not be written; 2 bad command line or unreadable input; 130 interrupted. Output is "
               "written to OUTPUT.partial and renamed to OUTPUT when complete.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="signal files")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="output file; its extension (.fastq, .sam, .bam) chooses the format")
    parser.add_argument("--format", choices=("fastq", "sam", "bam"), help="output format, whatever the extension")
    parser.add_argument("--server", action="append", default=[], metavar="ADDRESS",
                        help="basecall server (repeat for several; the clients are spread over them)")
    parser.add_argument("--config", help=f"basecalling configuration (default {DEFAULT_CONFIG}, "
                                         f"{MODIFIED_BASES_CONFIG} with --modified-bases)")
    parser.add_argument("--reference", metavar="FASTA", help="align to this reference; a BAM is then sorted and indexed")
    parser.add_argument("--clients", type=_positive, default=2, metavar="N", help="library clients in all (default 2)")
    parser.add_argument("--moves", action="store_true", help="ask for move tables and write them")
    parser.add_argument("--barcode-kits", action="append", default=[], metavar="KIT",
                        help="classify barcodes of these kits (comma-separated or repeated)")
    parser.add_argument("--modified-bases", action="store_true", help="call modified bases (MM/ML tags in SAM/BAM)")
    parser.add_argument("--summary", metavar="TSV", help="write a per-read summary table")
    parser.add_argument("--report", metavar="PNG", help="write a report figure")
    parser.add_argument("--dask", metavar="SCHEDULER", help="spread the input over the workers of this Dask cluster")
    parser.add_argument("--reconnect-timeout", type=_positive, default=300, metavar="S",
                        help="how long a lost server is waited for (default 300 s)")
    parser.add_argument("--max-reads-in-flight", type=_positive, default=2000, metavar="N",
                        help="reads passed and not yet back, at most (default 2000)")
    parser.add_argument("--timings", action="store_true",
                        help="also print the time spent reading, in client calls and writing")
    parser.add_argument("--server-settings", metavar="JSON", help="settings file of the private reference server")
    return parser


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
    point, never in the middle of writing a record."""

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


def _check_inputs(args, fmt):
    if fmt is None:
        raise UsageError(f"{args.output}: cannot tell the output format from its extension; "
                         "use .fastq, .sam or .bam, or --format")
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        raise UsageError(f"{args.output}: no such folder {folder}")
    for path in [args.reference, args.server_settings]:
        if path and not os.access(path, os.R_OK):
            raise UsageError(f"{path}: " + ("no such file" if not os.path.exists(path) else "not readable"))
    if args.dask and not args.server:
        raise UsageError("--dask needs the basecall servers of the workers: give them with --server")
    if args.server and args.server_settings:
        raise UsageError("--server-settings is for the private server: leave it out with --server")


def _params(args):
    params = {"client_name": "corvane_basecall", "reconnect_timeout": args.reconnect_timeout,
              "max_reads_queued": 64}
    if args.moves:
        params["move_enabled"] = True
    kits = [kit for item in args.barcode_kits for kit in item.split(",") if kit]
    if kits:
        params["barcode_kits"] = kits
    if args.reference:
        params["align_ref"] = os.path.abspath(args.reference)
    return params


def run(args):
    import json

    from tqdm import tqdm

    from corvane_cli.embedded_server import EmbeddedServer, EmbeddedServerError, reference_index_setting
    from corvane_cli.pipeline import Pipeline, PipelineError, Prefetcher, ServerLost
    from corvane_cli.run_summary import RunRecord
    from corvane_cli.signal_file import SignalFileError, SignalFileReader
    from corvane_cli.writers import OutputError, ReadWriter, format_of

    fmt = format_of(args.output, args.format)
    _check_inputs(args, fmt)
    config = args.config or (MODIFIED_BASES_CONFIG if args.modified_bases else DEFAULT_CONFIG)
    params = _params(args)

    with ExitStack() as stack:
        readers = []
        for path in args.inputs:
            try:
                readers.append(stack.enter_context(SignalFileReader(path)))
            except SignalFileError as error:
                raise UsageError(str(error)) from error
        truths = {}
        for reader in readers:
            truths.update(reader.truths())
        stop = stack.enter_context(_StopRequest())

        servers = list(args.server)
        if not servers:
            settings = None
            if args.server_settings:
                try:
                    with open(args.server_settings) as file:
                        settings = json.load(file)
                except (OSError, ValueError) as error:
                    raise UsageError(f"{args.server_settings}: {error}") from error
            if args.reference:
                try:
                    index = reference_index_setting(args.reference)
                except (OSError, UnicodeDecodeError, ValueError) as error:
                    raise UsageError(f"{args.reference}: not a readable FASTA file ({error})") from error
                settings = dict(settings or {})
                settings["alignment_indices"] = list(settings.get("alignment_indices", [])) + [index]
            try:
                embedded = stack.enter_context(EmbeddedServer(settings=settings))
            except EmbeddedServerError as error:
                print(f"corvane basecall: {error}", file=sys.stderr)
                return EXIT_READS_FAILED
            servers = [embedded.address]

        try:
            pipeline = Pipeline(servers, config, params, clients=args.clients,
                                max_in_flight=args.max_reads_in_flight, should_stop=stop.check)
            pipeline.connect()
        except PipelineError as error:
            raise UsageError(str(error)) from error
        stack.callback(pipeline.close)
        if args.modified_bases and not pipeline.basecalling_config().get("modbase_model_version_id"):
            raise UsageError(f"configuration {config!r} calls no modified bases; choose one that does with --config")

        try:
            writer = ReadWriter(args.output, fmt, sam_header=pipeline.sam_header(), command_line=sys.argv,
                                include_moves=args.moves, sort=bool(args.reference))
        except OutputError as error:
            raise UsageError(str(error)) from error
        try:
            summary_file = stack.enter_context(open(args.summary, "w")) if args.summary else None
        except OSError as error:
            writer.close(complete=False)
            raise UsageError(f"cannot write {args.summary}: {error.strerror or error}") from error
        record = RunRecord(truths, summary_file)
        counts = pipeline.counts
        total = sum(reader.num_reads for reader in readers)
        progress = stack.enter_context(tqdm(total=total, unit="read", file=sys.stderr, disable=None,
                                            dynamic_ncols=True, mininterval=0.5))

        timings = {"reading": 0.0, "writing": 0.0}

        def on_results(read_id, group):
            began = time.monotonic()
            try:
                writer.write(group)
            except ValueError as error:
                counts.fail(read_id, f"cannot be written: {error}")
            record.add(read_id, group)
            timings["writing"] += time.monotonic() - began
            progress.update(1)
            elapsed = time.monotonic() - calling_started
            if progress.n % 64 == 0 and elapsed > 0:
                progress.set_postfix(samples_s=f"{counts.samples_in / elapsed:.3g}", in_flight=pipeline.in_flight,
                                     refresh=False)

        complete = False
        code = EXIT_OK
        calling_started = time.monotonic()
        try:
            if args.dask:
                _run_distributed(args, servers, readers, config, params, on_results, counts, stop.check)
            else:
                tag = 0
                for reader in readers:
                    chunks = stack.enter_context(Prefetcher(reader.iter_chunks()))
                    while True:
                        began = time.monotonic()
                        chunk = next(chunks, None)
                        timings["reading"] += time.monotonic() - began
                        if chunk is None:
                            break
                        for read in chunk:
                            read["read_tag"] = tag % TAG_RANGE
                            tag += 1
                        pipeline.feed(chunk, on_results)
                pipeline.finish(on_results)
            complete = True
        except ServerLost as error:
            missing = pipeline.in_flight
            pipeline.lose_in_flight(f"did not return ({error})")
            print(f"corvane basecall: server lost: {error}; {missing} reads did not return", file=sys.stderr)
            complete = True
        except SignalFileError as error:
            _close_partial(writer, f"unreadable input: {error}")
            raise UsageError(str(error)) from error
        except UsageError as error:
            _close_partial(writer, str(error))
            raise
        except OutputError as error:
            _close_partial(writer, str(error))
            return EXIT_READS_FAILED
        except KeyboardInterrupt:
            progress.close()
            _close_partial(writer, "interrupted")
            return EXIT_INTERRUPTED
        finally:
            progress.close()
        calling_s = time.monotonic() - calling_started
        try:
            writer.close(complete=complete)
        except OutputError as error:
            print(f"corvane basecall: {error}; the output is incomplete", file=sys.stderr)
            return EXIT_READS_FAILED
        if args.report:
            try:
                record.write_report(args.report)
            except (OSError, ValueError) as error:
                print(f"corvane basecall: cannot write {args.report}: {error}", file=sys.stderr)
                code = EXIT_READS_FAILED
        for line in record.summary_lines(counts, calling_s):
            print(line)
        if args.timings and calling_s > 0:
            shares = dict(timings, client=pipeline.client_s)
            shares["other"] = max(0.0, calling_s - sum(shares.values()))
            print("time: " + ", ".join(f"{name} {seconds:.2f} s ({100 * seconds / calling_s:.0f}%)"
                                       for name, seconds in shares.items()))
        if counts.failed or counts.without_results:
            code = EXIT_READS_FAILED
        return code


def _close_partial(writer, reason):
    try:
        writer.close(complete=False)
        kept = f"the {writer.records} records written so far are in {writer.partial_path}"
    except Exception as error:  # the reason below is what the user must see
        kept = f"{writer.partial_path} may be incomplete ({error})"
    print(f"corvane basecall: {reason}; {kept}", file=sys.stderr)


def _run_distributed(args, servers, readers, config, params, on_results, counts, should_stop):
    try:
        from corvane_cli.distributed import DistributedError, run_distributed
    except ImportError as error:
        raise UsageError(f"--dask is not available: {error}") from error

    for reader in readers:
        try:
            run_distributed(args.dask, servers, reader, config, params, on_results, counts=counts,
                            clients=args.clients, should_stop=should_stop)
        except DistributedError as error:
            raise UsageError(str(error)) from error
