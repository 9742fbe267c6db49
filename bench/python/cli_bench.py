"""corvane basecall against the C++ example program, on the same kind of
simulated reads and the same zero-latency reference server, and against
what the client itself reaches, in one run.

    .venv/bin/python bench/python/cli_bench.py [--reads N] [--length BASES]
        [--example build/corvane_basecall_example]
        [--client-bench build/bench/client_bench]

Prints each program's samples/s (its own figure, over its calling time, and
over its whole run) and:

* the example against corvane basecall, over their whole runs (target: at
  least 1.0, the example users copy is not slower than the Python program);
* corvane basecall's whole run against the calling it drives: its whole-run
  samples/s against client_bench's short-read samples/s with the instant
  caller, run right after it on the same machine (target: at least 0.4);
* the Python program's time shares: reading, client calls (read conversion
  included), writing and the rest, each the driving thread's time (reading
  and writing: its waits for the threads that do them), and the CPU time of
  the reader's and the writer's threads;
* corvane basecall as a user first runs it, on its private server (started
  and stopped within the run), over its whole run.

Every whole run is timed from the command's start to its exit, as a user
sees it. client_bench's figure is of another kind of run: one client, reads
made in memory beforehand, an in-process server that calls nothing, and
only the calling timed; corvane basecall drives two clients against a
server process whose stand-in caller takes CPU time of its own on the same
cores, from a file, and its figure covers the start and the exit too.

Figures measured under load are rough: compare the ratios, and quote the
load printed beside them.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from corvane_cli.programs import find_program
from corvane_cli.signal_file import SignalFileWriter

ROOT = Path(__file__).resolve().parents[2]
ZERO_LATENCY = {"data_plane": {"latency_ms_per_read": 0, "latency_ms_per_1000_samples": 0}}


def simulate(folder, reads, length):
    jsonl = folder / "reads.jsonl"
    subprocess.run(
        [
            find_program("corvane_simulate"),
            "--reads",
            str(reads),
            "--length",
            str(length),
            "--seed",
            "1",
            "-o",
            str(jsonl),
        ],
        check=True,
    )
    path = folder / "reads.h5"
    samples = 0
    with SignalFileWriter(path) as writer, open(jsonl) as lines:
        for line in lines:
            read = json.loads(line)
            truth = read.pop("sequence")
            read["raw_data"] = np.asarray(read.pop("samples"), dtype=np.int16)
            samples += read["raw_data"].size
            writer.add(read, truth)
    jsonl.unlink()
    return path, samples


def timed(command):
    began = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True)
    wall = time.monotonic() - began
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed ({done.returncode}): {done.stderr[-2000:]}")
    return done, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=4000)
    parser.add_argument("--length", type=int, default=2000)
    parser.add_argument("--example", default=str(ROOT / "build" / "corvane_basecall_example"))
    parser.add_argument("--client-bench", default=str(ROOT / "build" / "bench" / "client_bench"))
    parser.add_argument("--clients", type=int, default=2)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="cli-bench-") as temp:
        folder = Path(temp)
        reads, samples = simulate(folder, args.reads, args.length)
        settings = folder / "settings.json"
        settings.write_text(json.dumps(ZERO_LATENCY))
        address = f"ipc://{folder}/server.sock"
        server = subprocess.Popen(
            [find_program("reference_server"), "--listen", address, "--verbosity", "0", "--config", str(settings)],
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert "listening on" in server.stdout.readline()
            corvane = str(Path(sys.executable).parent / "corvane")
            python, python_wall = timed(
                [
                    corvane,
                    "basecall",
                    str(reads),
                    "-o",
                    str(folder / "called.fastq"),
                    "--server",
                    address,
                    "--clients",
                    str(args.clients),
                    "--timings",
                ]
            )
            example, example_wall = timed(
                [
                    args.example,
                    "--server",
                    address,
                    "--reads",
                    str(args.reads),
                    "--length",
                    str(args.length),
                    "--output",
                    str(folder / "example.fastq"),
                ]
            )
        finally:
            server.terminate()
            server.wait()
        _, private_wall = timed(
            [corvane, "basecall", str(reads), "-o", str(folder / "private.fastq"), "--clients", str(args.clients)]
        )
    # What the client reaches with a server that costs nothing: the ceiling
    # of any program's calling on this machine, measured right after.
    calling, _ = timed([args.client_bench, "600", "3", "short", "instant"])
    calling_rate = float(re.search(r"^short reads \(Msamples/s\)\s+([\d.]+)", calling.stdout, re.M).group(1)) * 1e6

    # The program's summary and timings go to standard error.
    python_rate = float(re.search(r"reads/s, (\d+) samples/s", python.stderr).group(1))
    example_seconds = float(re.search(r"\(([\d.e+-]+) s\)", example.stderr).group(1))
    example_samples = args.reads * args.length * 5  # the example's signal: 5 samples a base
    example_rate = example_samples / example_seconds
    print(f"load: {os.getloadavg()[0]:.1f} (1-minute average at the end)")
    print(f"input: {args.reads} reads; corvane {samples} samples, example {example_samples} samples")
    print(
        f"corvane basecall: {python_rate:.0f} samples/s calling, {samples / python_wall:.0f} samples/s "
        f"over the whole run ({python_wall:.1f} s)"
    )
    print(
        f"corvane_basecall_example: {example_rate:.0f} samples/s calling, "
        f"{example_samples / example_wall:.0f} samples/s over the whole run ({example_wall:.1f} s)"
    )
    python_whole = samples / python_wall
    example_whole = example_samples / example_wall
    print(f"client_bench short reads, instant caller: {calling_rate:.0f} samples/s")
    print(
        f"example against corvane basecall (whole runs): {example_whole / python_whole:.2f}; target >= 1.0 "
        f"(calling: {example_rate / python_rate:.2f})"
    )
    print(
        f"corvane basecall whole run against client_bench's calling: {python_whole / calling_rate:.2f}; target >= 0.4"
    )
    print(
        f"corvane basecall on its private server: {samples / private_wall:.0f} samples/s over the whole run "
        f"({private_wall:.1f} s)"
    )
    for line in python.stderr.splitlines():
        if line.startswith("time:"):
            print(f"corvane basecall shares of its run: {line[len('time:') :].strip()}")
        elif line.startswith("time off the driving thread"):
            print(f"corvane basecall {line}")


if __name__ == "__main__":
    main()
