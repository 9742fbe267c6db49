"""How soon `corvane basecall --watch` takes a signal file that appears in
the folder it watches, with inotify and with polling, in one run.

    .venv/bin/python bench/python/watch_bench.py [--files K] [--reads N] [--interval S]

Simulates K+1 files of N reads, starts `corvane basecall FOLDER --watch` on
a zero-latency reference server with the first file in the folder, then
writes the others into the folder one every S seconds (each under a
temporary name, renamed once complete, as the signal file writer does) and
prints, for each way of watching, the median and largest delay from a
file's rename to its first read being passed (the program says so on
standard error). The target is under 1 s at the default polling.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from cli_bench import ZERO_LATENCY, simulate

from corvane_cli.signal_file import SignalFileReader, SignalFileWriter


def split(source, folder, files, reads):
    """The reads of `source` as signal files of `reads` reads each, not yet
    in the watched folder: (name, reads with truths) per file."""
    parts = []
    with SignalFileReader(source) as reader:
        for number in range(files):
            start = number * reads
            parts.append(
                (
                    f"batch_{number}.h5",
                    list(zip(reader.read_range(start, start + reads), reader.truth_range(start, start + reads))),
                )
            )
    return parts


def write(path, reads):
    with SignalFileWriter(path) as writer:
        for read, truth in reads:
            read.pop("read_tag", None)
            writer.add(read, truth)


def watch_delays(folder, parts, interval, polling, settings):
    watched = folder / ("watched-polling" if polling else "watched-inotify")
    watched.mkdir()
    write(watched / parts[0][0], parts[0][1])
    env = dict(os.environ, CORVANE_WATCH_POLLING="1" if polling else "0")
    corvane = str(Path(sys.executable).parent / "corvane")
    command = [corvane, "basecall", str(watched), "--watch", "--watch-stop-file", str(watched / "stop")]
    command += ["-o", str(folder / f"called-{watched.name}.fastq"), "--server-settings", str(settings)]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    seen = {}  # file name -> when its first read was passed
    lines = []

    def read():
        for line in process.stderr:
            lines.append(line)
            if line.rstrip().endswith("reads, passing"):
                name = Path(line.split(": ")[1]).name
                seen.setdefault(name, time.monotonic())

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    delays = []
    try:
        deadline = time.monotonic() + 60
        while parts[0][0] not in seen:
            if time.monotonic() > deadline or process.poll() is not None:
                sys.exit(f"the watching run did not start: {''.join(lines)[-2000:]}")
            time.sleep(0.01)
        for name, reads in parts[1:]:
            time.sleep(interval)  # the pace at which files appear
            write(watched / name, reads)
            appeared = time.monotonic()
            deadline = appeared + 30
            while name not in seen:
                if time.monotonic() > deadline:
                    sys.exit(f"{name} was not taken within 30 s: {''.join(lines)[-2000:]}")
                time.sleep(0.001)
            delays.append(seen[name] - appeared)
        (watched / "stop").write_text("")
        if process.wait(timeout=60) != 0:
            sys.exit(f"the watching run failed: {''.join(lines)[-2000:]}")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    reader.join(10)
    return delays


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=10)
    parser.add_argument("--reads", type=int, default=200)
    parser.add_argument("--interval", type=float, default=1.0)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="watch-bench-") as temp:
        folder = Path(temp)
        settings = folder / "settings.json"
        settings.write_text(json.dumps(ZERO_LATENCY))
        source, _ = simulate(folder, (args.files + 1) * args.reads, 1000)
        parts = split(source, folder, args.files + 1, args.reads)
        print(f"{args.files} files of {args.reads} reads, one every {args.interval:g} s")
        for polling in (False, True):
            delays = watch_delays(folder, parts, args.interval, polling, settings)
            print(
                f"{'polling' if polling else 'inotify'}: delay from rename to first read passed: "
                f"median {statistics.median(delays):.3f} s, max {max(delays):.3f} s (target: under 1 s)"
            )


if __name__ == "__main__":
    main()
