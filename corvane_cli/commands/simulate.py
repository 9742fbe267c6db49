"""`corvane simulate`: reads drawn from a reference under the reference
server's signal model, written to a signal file with their true sequences.
The shipped corvane_simulate program makes the reads (one JSON object per
line); this command stores them."""

import argparse
import json
import subprocess

from corvane_cli.errors import EXIT_OK, UsageError


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "simulate",
        help="simulate reads with their true sequences into a signal file",
        description="Simulate reads under the reference server's signal model. Each read's true "
        "sequence is stored beside it, so that a basecall run can be checked against it.",
    )
    parser.add_argument(
        "--reference", metavar="FASTA", help="draw reads from these sequences (default: random sequences)"
    )
    parser.add_argument("-n", "--reads", type=int, required=True, metavar="N", help="number of reads")
    parser.add_argument(
        "--length-mean",
        type=int,
        default=1000,
        metavar="L",
        help="mean bases per read; lengths vary from L/2 to 3L/2 (default 1000)",
    )
    parser.add_argument("--fixed-length", action="store_true", help="every read exactly --length-mean bases")
    parser.add_argument("--seed", type=int, default=1, metavar="S", help="seed of the run (default 1)")
    parser.add_argument(
        "--split-fraction",
        type=float,
        default=0.0,
        metavar="F",
        help="share of reads with an open-pore gap inside (default 0)",
    )
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="the signal file to write")
    return parser


def simulator_command(args: argparse.Namespace) -> list[str]:
    from corvane_cli.programs import find_program

    if args.reads < 0:
        raise UsageError(f"-n {args.reads}: the number of reads cannot be negative")
    if args.length_mean < 1:
        raise UsageError(f"--length-mean {args.length_mean}: a read needs at least one base")
    if args.seed < 0:
        raise UsageError(f"--seed {args.seed}: the seed cannot be negative")
    if not 0.0 <= args.split_fraction <= 1.0:
        raise UsageError(f"--split-fraction {args.split_fraction}: not a share between 0 and 1")
    command = [
        find_program("corvane_simulate"),
        "--reads",
        str(args.reads),
        "--length",
        str(args.length_mean),
        "--seed",
        str(args.seed),
        "--split-fraction",
        repr(args.split_fraction),
    ]
    if not args.fixed_length:
        command.append("--vary-length")
    if args.reference:
        command += ["--reference", args.reference]
    return command


def as_read(line: str) -> tuple[dict, str]:
    """A simulated read's JSON line as a read dict and its true sequence."""
    import numpy as np

    simulated = json.loads(line)
    read = {
        key: simulated[key]
        for key in ("read_id", "daq_offset", "daq_scaling", "sampling_rate", "start_time", "channel", "mux", "run_id")
    }
    read["raw_data"] = np.asarray(simulated["samples"], dtype=np.int16)
    return read, simulated["sequence"]


def run(args: argparse.Namespace) -> int:
    from corvane_cli.programs import ProgramNotFoundError
    from corvane_cli.signal_file import SignalFileError, SignalFileWriter

    try:
        command = simulator_command(args)
    except ProgramNotFoundError as error:
        raise UsageError(str(error)) from error
    if args.reference:
        from corvane_cli.output_paths import OutputPath, refuse_overlaps

        refuse_overlaps([(args.reference, "reference")], [OutputPath(args.output)])
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout is not None and process.stderr is not None  # made with PIPE
    try:
        with SignalFileWriter(args.output) as writer:
            for line in process.stdout:
                read, truth = as_read(line)
                writer.add(read, truth)
            problem = process.stderr.read().strip()
            if process.wait() != 0:
                raise UsageError(problem or f"{command[0]} ended with code {process.returncode}")
    except (SignalFileError, ValueError) as error:
        # A repeated read id is refused by the writer as any bad read is.
        raise UsageError(f"{args.output}: {error}" if isinstance(error, ValueError) else str(error)) from error
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()
    print(f"corvane simulate: {writer.num_reads} reads written to {args.output}")
    return EXIT_OK
