"""Per-read cost of the tavrix read conversions and pool throughput.

    .venv/bin/python bench/python/conversion_bench.py [path/to/reference_server]

Plain Python with time.perf_counter; every figure is the median of several
repetitions. Against a reference server with zero calling latency (started
here on an ipc:// path), with 4,000-sample reads:

* to_library: pass_reads on an unconnected client converts every dict and is
  then refused at once, so its time is the dict-to-read conversion.
* helper: test_readholder_to_dict, which builds a fixed read in C++ and
  converts it: an upper bound of the read-to-dict conversion.
* from_library: time inside the get_completed_reads calls that returned
  reads, per returned read (collection by the library included).
* throughput: reads/s through one client and through a pool of 4.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import tavrix

C = tavrix.Corvane
SAMPLES = 4000
BATCH = 200
REPEATS = 7


def reads(count, start=0):
    rng = np.random.default_rng(1)
    signal = rng.integers(-2000, 2000, SAMPLES, dtype=np.int16)
    return [{"read_tag": start + i, "raw_data": signal, "read_id": f"r{start + i}", "daq_offset": 0.0,
             "daq_scaling": 1.0, "sampling_rate": 4000.0, "start_time": 0} for i in range(count)]


def to_library_us():
    client = C("ipc:///nonexistent/socket", "ref_dna_fast")
    batch = reads(BATCH)
    times = []
    for _ in range(REPEATS):
        begin = time.perf_counter()
        assert client.pass_reads(batch) == C.not_accepting_reads
        times.append((time.perf_counter() - begin) / BATCH * 1e6)
    return statistics.median(times)


def helper_from_library_us():
    """read_to_dict of a fixed read (1,000 samples, a sequence, five metadata values set)."""
    times = []
    for _ in range(REPEATS):
        begin = time.perf_counter()
        for _ in range(BATCH):
            tavrix.test_readholder_to_dict()
        times.append((time.perf_counter() - begin) / BATCH * 1e6)
    return statistics.median(times)


def run(address, num_threads, count):
    """Passes `count` reads and collects them; returns (reads/s, µs per returned read in collection)."""
    client = C(address, "ref_dna_fast", num_threads)
    client.set_params({"max_reads_queued": 1000})
    assert client.connect() == C.success
    batch = reads(count)
    collected = 0
    collect_s = 0.0
    begin = time.perf_counter()
    for i in range(0, count, 50):
        while client.pass_reads(batch[i:i + 50], 1000) != C.read_accepted:
            pass
    while collected < count:
        t = time.perf_counter()
        got = client.get_completed_reads()
        if got:
            # Only calls that returned reads: an empty poll converts nothing.
            collect_s += time.perf_counter() - t
            collected += sum(len(g) for g in got)
        else:
            time.sleep(0.001)
    elapsed = time.perf_counter() - begin
    client.finish(10)
    return count / elapsed, collect_s / collected * 1e6


def main():
    server_path = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("CORVANE_REFERENCE_SERVER",
                                                                          "build/reference_server/reference_server")
    print(f"to_library   {to_library_us():8.2f} us/read (dict to library read, {SAMPLES} samples)")
    print(f"helper       {helper_from_library_us():8.2f} us/read (building and converting a fixed read)")
    with tempfile.TemporaryDirectory() as folder:
        server = subprocess.Popen([server_path, "--listen", f"ipc://{folder}/bench.sock", "--verbosity", "0"],
                                  stdout=subprocess.PIPE, text=True)
        address = server.stdout.readline().rsplit(" ", 1)[1].strip()
        try:
            results = {n: [run(address, n, 400) for _ in range(3)] for n in (1, 4)}
        finally:
            server.terminate()
            server.wait()
    one = statistics.median(r[0] for r in results[1])
    four = statistics.median(r[0] for r in results[4])
    print(f"from_library {statistics.median(r[1] for r in results[1]):8.2f} us/read "
          "(get_completed_reads per returned read, collection included)")
    print(f"throughput   1 client {one:10.0f} reads/s, pool of 4 {four:10.0f} reads/s, ratio {four / one:.2f}")


if __name__ == "__main__":
    main()
