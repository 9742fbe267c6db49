"""The signal file container: round trip, chunking, bad files."""

import os
import stat
import subprocess
import sys

import h5py
import numpy as np
import pytest

from corvane_cli.signal_file import SignalFileError, SignalFileReader, SignalFileWriter


def sample_reads(count, seed=5):
    rng = np.random.default_rng(seed)
    reads = []
    for i in range(count):
        length = 1 if i == 3 else int(rng.integers(50, 900))
        read = {
            "read_id": f"r{i:03d}-é" if i == 1 else f"r{i:03d}",
            "raw_data": rng.integers(-32768, 32767, length, dtype=np.int16, endpoint=True),
            "daq_offset": float(i) / 4,
            "daq_scaling": 0.125,
            "sampling_rate": 5000.0,
            "start_time": i * 1000,
            "channel": i % 7,
            "mux": 1 + i % 4,
            "run_id": "run-a" if i % 2 else "run-b",
        }
        if i == 2:
            read["sequencing_kit"] = "kit-1"
            read["end_reason"] = "signal_positive"
        reads.append(read)
    return reads


def write(path, reads, truths=None):
    with SignalFileWriter(path) as writer:
        for i, read in enumerate(reads):
            writer.add(read, (truths or {}).get(i))
    return path


def assert_same_read(got, want, index):
    assert got["read_tag"] == index
    np.testing.assert_array_equal(got["raw_data"], want["raw_data"])
    assert got["raw_data"].dtype == np.int16
    for key, value in want.items():
        if key != "raw_data":
            assert got[key] == value and type(got[key]) is type(value), key
    assert set(got) - set(want) == {"read_tag"}


def test_reads_come_back_in_order_in_bounded_chunks(tmp_path):
    reads = sample_reads(40)
    umask = os.umask(0o022)
    try:
        path = write(tmp_path / "reads.h5", reads, truths={0: "ACGT", 5: "TTGA"})
    finally:
        os.umask(umask)
    assert [p.name for p in tmp_path.iterdir()] == ["reads.h5"]
    assert stat.S_IMODE(path.stat().st_mode) == 0o644
    with SignalFileReader(path) as reader:
        assert reader.num_reads == 40
        assert reader.total_samples == sum(r["raw_data"].size for r in reads)
        got = []
        for max_reads, max_samples in [(7, 2000), (256, 4_000_000), (1, 1)]:
            chunks = list(reader.iter_chunks(max_reads=max_reads, max_samples=max_samples))
            for chunk in chunks:
                assert 1 <= len(chunk) <= max_reads
                assert len(chunk) == 1 or sum(r["raw_data"].size for r in chunk) <= max_samples
            got = [read for chunk in chunks for read in chunk]
            assert [r["read_id"] for r in got] == [r["read_id"] for r in reads]
        for index, (g, w) in enumerate(zip(got, reads)):
            assert_same_read(g, w, index)
        middle = reader.read_range(10, 13)
        assert [r["read_tag"] for r in middle] == [10, 11, 12]
        np.testing.assert_array_equal(middle[2]["raw_data"], reads[12]["raw_data"])
        assert reader.read_range(40, 40) == []
        with pytest.raises(IndexError):
            reader.read_range(39, 41)
        assert reader.truths() == {"r000": "ACGT", "r005": "TTGA"}


def test_a_process_that_has_read_a_file_writes_one(tmp_path):
    # In a process of its own: the fault showed only where a reader came first.
    source, copy = write(tmp_path / "source.h5", sample_reads(3)), tmp_path / "copy.h5"
    script = (
        "import sys; from corvane_cli.signal_file import SignalFileReader as R, SignalFileWriter as W\n"
        "reads = R(sys.argv[1]).read_range(0, 3)\n"
        "with W(sys.argv[2]) as w: [w.add({k: v for k, v in r.items() if k != 'read_tag'}) for r in reads]\n"
    )
    done = subprocess.run([sys.executable, "-c", script, source, copy], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with SignalFileReader(copy) as reader:
        for index, (got, want) in enumerate(zip(reader.read_range(0, 3), sample_reads(3))):
            assert_same_read(got, want, index)


def test_a_writer_left_by_an_error_leaves_nothing_behind(tmp_path):
    target = tmp_path / "reads.h5"
    with pytest.raises(RuntimeError):
        with SignalFileWriter(target) as writer:
            writer.add(sample_reads(1)[0])
            raise RuntimeError("stop")
    assert list(tmp_path.iterdir()) == []
    # A value the file's column cannot hold is found when the reads are
    # flushed, at close.
    with pytest.raises(OverflowError):
        with SignalFileWriter(target) as writer:
            writer.add(dict(sample_reads(1)[0], channel=2**40))
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(SignalFileError, match="missing/reads.h5: cannot create"):
        SignalFileWriter(tmp_path / "missing" / "reads.h5")


@pytest.mark.parametrize(
    "change, message",
    [
        ({"read_id": ""}, "not a non-empty string"),
        ({"read_id": "r000"}, "added twice"),
        ({"raw_data": np.zeros(10, dtype=np.float32)}, "not a one-dimensional int16"),
        ({"raw_data": np.zeros((2, 5), dtype=np.int16)}, "not a one-dimensional int16"),
        ({"raw_data": np.zeros(0, dtype=np.int16)}, "no samples"),
        ({"start_time": -1}, "negative"),
    ],
)
def test_writer_refuses_invalid_reads(tmp_path, change, message):
    first, second = sample_reads(2)
    with SignalFileWriter(tmp_path / "reads.h5") as writer:
        writer.add(first)
        with pytest.raises(ValueError, match=message):
            writer.add(dict(second, **change))
        assert writer.num_reads == 1
    with SignalFileReader(tmp_path / "reads.h5") as reader:
        assert reader.num_reads == 1


def make_truncated(path):
    write(path, sample_reads(30))
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def make_wrong_version(path):
    write(path, sample_reads(2))
    with h5py.File(path, "a") as f:
        f.attrs["format_version"] = 99


def make_without_column(path):
    write(path, sample_reads(2))
    with h5py.File(path, "a") as f:
        del f["reads/length"]


def make_foreign_hdf5(path):
    with h5py.File(path, "w") as f:
        f["signal"] = np.zeros(4, dtype=np.int16)


def make_out_of_range(path):
    write(path, sample_reads(2))
    with h5py.File(path, "a") as f:
        f["reads/offset"][1] = 10**9


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda path: None, "no such file"),
        (lambda path: path.write_bytes(b"not a signal file at all\n" * 100), "not a readable signal file"),
        (make_truncated, "not a readable signal file|unreadable"),
        (make_foreign_hdf5, "not a signal file"),
        (make_wrong_version, "version 99"),
        (make_without_column, "without length"),
        (make_out_of_range, "outside the signal"),
    ],
)
def test_bad_files_raise_an_error_naming_the_file(tmp_path, make, message):
    path = tmp_path / "bad.h5"
    make(path)
    with pytest.raises(SignalFileError, match=message) as raised:
        with SignalFileReader(path) as reader:
            for _ in reader.iter_chunks():
                pass
    assert str(path) in str(raised.value)


def test_columns_of_other_kinds_give_the_read_dicts_their_types(tmp_path):
    # Files written by other means may store a column in another numeric
    # kind: a read dict still holds ints and floats where the client wants
    # them, an integer column's float values cut as int() cuts them.
    cases = [
        # (column, stored as, value stored, value in the read dict)
        ("channel", np.float64, 3.75, 3),
        ("mux", np.uint8, 2, 2),
        ("start_time", np.int64, 5_000_000_000, 5_000_000_000),
        ("daq_offset", np.int32, -2, -2.0),
        ("daq_scaling", np.float32, 0.125, 0.125),
        ("sampling_rate", np.uint16, 4000, 4000.0),
    ]
    path = write(tmp_path / "reads.h5", sample_reads(3))
    with h5py.File(path, "r+") as file:
        for column, kind, value, _ in cases:
            del file["reads"][column]
            file["reads"].create_dataset(column, data=np.full(3, value, dtype=kind))
    with SignalFileReader(path) as reader:
        reads = reader.read_range(0, 3)
    for column, kind, _, want in cases:
        for read in reads:
            got = read[column]
            assert got == want and type(got) is type(want), (column, kind, got)
