"""Peak memory of `corvane basecall` for N and 4N simulated reads, in one run.

    .venv/bin/python bench/python/memory_bench.py [--reads N] [--length BASES]

Simulates N and 4N reads (with their true sequences, which the run compares
the called reads with), basecalls each file on one zero-latency reference
server with a per-read summary, and prints each run's peak resident set
size (the program alone, not the server) and their ratio. The target is a
4N peak under 1.2 times the N peak: what a run holds does not grow with its
input.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from cli_bench import ZERO_LATENCY, simulate

from corvane_cli.programs import find_program


def peak_rss_mib(command):
    """Runs the command to its end; its peak resident set size in MiB."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    stderr = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if process.returncode != 0:
        sys.exit(f"{command[0]} failed ({process.returncode}): {stderr[-2000:]}")
    return usage.ru_maxrss / 1024  # kilobytes on Linux


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=5000)
    parser.add_argument("--length", type=int, default=2000)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="memory-bench-") as temp:
        folder = Path(temp)
        settings = folder / "settings.json"
        settings.write_text(json.dumps(ZERO_LATENCY))
        address = f"ipc://{folder}/server.sock"
        server = subprocess.Popen(
            [find_program("reference_server"), "--listen", address, "--verbosity", "0", "--config", str(settings)],
            stdout=subprocess.PIPE,
            text=True,
        )
        corvane = str(Path(sys.executable).parent / "corvane")
        peaks = {}
        try:
            assert "listening on" in server.stdout.readline()
            for count in (args.reads, 4 * args.reads):
                sub = folder / str(count)
                sub.mkdir()
                reads, _ = simulate(sub, count, args.length)
                peaks[count] = peak_rss_mib(
                    [
                        corvane,
                        "basecall",
                        str(reads),
                        "-o",
                        str(sub / "called.fastq"),
                        "--server",
                        address,
                        "--summary",
                        str(sub / "summary.tsv"),
                    ]
                )
                reads.unlink()
        finally:
            server.terminate()
            server.wait()

    small, large = peaks[args.reads], peaks[4 * args.reads]
    print(f"load: {os.getloadavg()[0]:.1f} (1-minute average at the end)")
    print(f"corvane basecall, {args.reads} reads of {args.length} bases: peak RSS {small:.0f} MiB")
    print(f"corvane basecall, {4 * args.reads} reads of {args.length} bases: peak RSS {large:.0f} MiB")
    print(f"ratio (4N / N): {large / small:.2f}; target < 1.2")


if __name__ == "__main__":
    main()
