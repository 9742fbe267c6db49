"""The signal file's compression choices, side by side on one simulated
signal: size, and the CPU time to write and to read it back, in one run.

    .venv/bin/python bench/python/compression_bench.py [--reads N] [--length BASES]

Simulates N reads (as cli_bench does), then stores their signal once per
choice in the signal file's own layout (chunks of the same size, read back
in the ranges a run reads) and prints, per choice: the stored size against
the raw samples, the writing and the reading thread's CPU time per million
samples, and the reading time against gzip level 1 (the choice of the
files written until now). Every choice's read-back is checked against the
samples written, and the last column says what reading gives once a
stored chunk is damaged (a choice that reads it silently as other samples,
or crashes, needs a checksum). CPU time, not wall-clock time, so that a
loaded machine changes the figures little; the page cache holds the files,
so reading is decompression, not the disk.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import h5py
import hdf5plugin
import numpy as np
from cli_bench import simulate

from corvane_cli.signal_file import SIGNAL_CHUNK_SAMPLES

RANGE_SAMPLES = 4_000_000  # what a run reads at a time (iter_chunks' max_samples)


def choices():
    """(name, keyword arguments of create_dataset) of every choice measured."""
    shuffle = {"shuffle": True}
    return [
        ("gzip 1, shuffle", dict(compression="gzip", compression_opts=1, **shuffle)),
        ("gzip 4, shuffle", dict(compression="gzip", compression_opts=4, **shuffle)),
        ("gzip 9, shuffle", dict(compression="gzip", compression_opts=9, **shuffle)),
        ("gzip 1, shuffle, fletcher32", dict(compression="gzip", compression_opts=1, fletcher32=True, **shuffle)),
        ("lz4, shuffle", dict(hdf5plugin.LZ4(), **shuffle)),
        ("lz4, shuffle, fletcher32", dict(hdf5plugin.LZ4(), fletcher32=True, **shuffle)),
        ("lz4", dict(hdf5plugin.LZ4())),
        ("zstd 1, shuffle", dict(hdf5plugin.Zstd(clevel=1), **shuffle)),
        ("zstd 3, shuffle", dict(hdf5plugin.Zstd(clevel=3), **shuffle)),
        ("zstd 9, shuffle", dict(hdf5plugin.Zstd(clevel=9), **shuffle)),
        ("bitshuffle lz4", dict(hdf5plugin.Bitshuffle(cname="lz4"))),
        ("bitshuffle lz4, fletcher32", dict(hdf5plugin.Bitshuffle(cname="lz4"), fletcher32=True)),
        ("bitshuffle zstd", dict(hdf5plugin.Bitshuffle(cname="zstd"))),
        ("blosc lz4, byte shuffle", dict(hdf5plugin.Blosc(cname="lz4", clevel=5, shuffle=hdf5plugin.Blosc.SHUFFLE))),
        (
            "blosc zstd 1, byte shuffle",
            dict(hdf5plugin.Blosc(cname="zstd", clevel=1, shuffle=hdf5plugin.Blosc.SHUFFLE)),
        ),
        ("none", {}),
    ]


def measure(path, signal, options):
    """(stored bytes, write CPU s, read CPU s, what a damaged chunk gives) of
    `signal` stored with `options`."""
    began = time.thread_time()
    with h5py.File(path, "w") as file:
        stored = file.create_dataset("signal", data=signal, chunks=(SIGNAL_CHUNK_SAMPLES,), maxshape=(None,), **options)
        size = stored.id.get_storage_size()
    written = time.thread_time() - began
    began = time.thread_time()
    with h5py.File(path, "r") as file:
        stored = file["signal"]
        for start in range(0, signal.size, RANGE_SAMPLES):
            part = stored[start : start + RANGE_SAMPLES]
            if not np.array_equal(part, signal[start : start + RANGE_SAMPLES]):
                raise SystemExit(f"{path}: the samples read back differ from those written")
    read = time.thread_time() - began
    return size, written, read, damaged_chunk(path, signal)


# Reads the first chunk of a damaged file in a process of its own, since a
# filter may crash on what it cannot decode.
_READ_DAMAGED = """
import sys
import h5py, hdf5plugin, numpy as np
try:
    with h5py.File(sys.argv[1], "r") as file:
        first = file["signal"][: int(sys.argv[2])]
except OSError:
    sys.exit(3)
sys.exit(0 if np.array_equal(first, np.load(sys.argv[3])) else 4)
"""


def damaged_chunk(path, signal):
    """What reading gives once 64 bytes in the middle of a stored chunk are
    overwritten: "refused" (an error), "wrong" (other samples, silently),
    "crashed" or "right"."""
    with h5py.File(path, "r") as file:
        info = file["signal"].id.get_chunk_info(0)
    with open(path, "r+b") as file:
        file.seek(info.byte_offset + info.size // 2)
        file.write(b"\x5a" * 64)
    expected = path.with_suffix(".npy")
    np.save(expected, signal[:SIGNAL_CHUNK_SAMPLES])
    done = subprocess.run(
        [sys.executable, "-c", _READ_DAMAGED, str(path), str(SIGNAL_CHUNK_SAMPLES), str(expected)],
        capture_output=True,
    )
    return {0: "right", 3: "refused", 4: "wrong"}.get(done.returncode, "crashed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=2000)  # gzip level 9 alone takes half a minute then
    parser.add_argument("--length", type=int, default=2000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="compression-bench-") as temp:
        folder = Path(temp)
        source, samples = simulate(folder, args.reads, args.length)
        with h5py.File(source, "r") as file:
            signal = file["signal"][:]
        assert signal.size == samples
        rows = [(name, *measure(folder / "choice.h5", signal, options)) for name, options in choices()]
    megasamples = signal.size / 1e6
    baseline = rows[0][3]
    print(f"signal: {args.reads} reads, {signal.size} samples ({signal.nbytes / 2**20:.0f} MiB raw)")
    print(f"{'choice':28} {'size':>7} {'write':>12} {'read':>12} {'against gzip 1':>15}  damaged chunk")
    for name, size, written, read, damage in rows:
        print(
            f"{name:28} {100 * size / signal.nbytes:6.1f}% {1000 * written / megasamples:8.2f} ms/M "
            f"{1000 * read / megasamples:8.2f} ms/M {read / baseline:15.2f}  {damage}"
        )
    print(
        "size: stored bytes against the raw samples; write, read: CPU milliseconds per million samples; "
        "damaged chunk: what reading gives once 64 bytes of a stored chunk are overwritten"
    )


if __name__ == "__main__":
    main()
