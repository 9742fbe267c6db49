"""`corvane convert` and `corvane simulate`, through the console script."""

import numpy as np
import pytest
from conftest import collect, run_corvane

import tavrix
from corvane_cli.signal_file import SignalFileReader


def write_metadata(
    path,
    rows,
    columns=("read_id", "daq_offset", "daq_scaling", "sampling_rate", "start_time", "channel", "run_id", "truth"),
):
    lines = [",".join(columns)] + [",".join(str(row.get(c, "")) for c in columns) for row in rows]
    path.write_text("\n".join(lines) + "\n")


def metadata_rows(count):
    return [
        {
            "read_id": f"read-{i}",
            "daq_offset": 1.5,
            "daq_scaling": 0.25,
            "sampling_rate": 4000,
            "start_time": 10 * i,
            "channel": i + 1,
            "run_id": "run",
            "truth": "ACGT" if i == 0 else "",
        }
        for i in range(count)
    ]


@pytest.mark.parametrize("layout", ["npz", "npy folder"])
def test_convert_writes_the_arrays_with_their_metadata(tmp_path, layout):
    rng = np.random.default_rng(2)
    arrays = {f"read-{i}": rng.integers(-500, 500, 100 + i, dtype=np.int32 if i == 1 else np.int16) for i in range(3)}
    if layout == "npz":
        source = tmp_path / "arrays.npz"
        np.savez(source, **arrays)
    else:
        source = tmp_path / "arrays"
        source.mkdir()
        for name, array in arrays.items():
            np.save(source / f"{name}.npy", array)
    write_metadata(tmp_path / "meta.csv", metadata_rows(3)[::-1])
    done = run_corvane("convert", source, "--metadata", tmp_path / "meta.csv", "-o", tmp_path / "reads.h5")
    assert done.returncode == 0, done.stderr
    with SignalFileReader(tmp_path / "reads.h5") as reader:
        reads = reader.read_range(0, reader.num_reads)
        assert reader.truths() == {"read-0": "ACGT"}
    assert [r["read_id"] for r in reads] == ["read-2", "read-1", "read-0"]
    for read in reads:
        np.testing.assert_array_equal(read["raw_data"], arrays[read["read_id"]])
        assert read["channel"] == int(read["read_id"][-1]) + 1
    assert (reads[0]["daq_offset"], reads[0]["daq_scaling"], reads[0]["sampling_rate"]) == (1.5, 0.25, 4000.0)
    assert reads[0]["start_time"] == 20 and reads[0]["mux"] == 0


HEADER = "read_id,daq_offset,daq_scaling,sampling_rate,start_time,channel"


def test_convert_refuses_bad_input_and_leaves_no_output(tmp_path):
    arrays = {f"read-{i}": np.arange(10, dtype=np.int16) for i in range(2)}
    np.savez(tmp_path / "arrays.npz", **arrays, floats=np.zeros(3))
    (tmp_path / "broken.npz").write_bytes((tmp_path / "arrays.npz").read_bytes()[:100])
    meta = tmp_path / "meta.csv"
    good = "read-1,0,1,4000,0,1"

    def table(first):
        return f"{HEADER}\n{first}\n{good}\n"

    cases = [
        # (what, CSV text, input, texts of the one line on stderr)
        (
            "a row without an array",
            table("read-0,0,1,4000,0,1") + "read-2,0,1,4000,0,1\n",
            "arrays.npz",
            ["no array for read read-2"],
        ),
        ("an array without a row", f"{HEADER}\n{good}\n", "arrays.npz", ["arrays without a row"]),
        ("a bad number", table("read-0,0,x,4000,0,1"), "arrays.npz", ["line 2 column daq_scaling", "not a number"]),
        (
            "float samples",
            table("read-0,0,1,4000,0,1") + "floats,0,1,4000,0,1\n",
            "arrays.npz",
            ["not a one-dimensional array of integers"],
        ),
        (
            "a space in an id",
            table("read 0,0,1,4000,0,1"),
            "arrays.npz",
            ["line 2: Invalid data", "read_id holds byte 0x20 at position 4", "without spaces"],
        ),
        ("a tab in an id", table('"read\t0",0,1,4000,0,1'), "arrays.npz", ["line 2:", "read_id holds byte 0x09"]),
        (
            "a non-ASCII id",
            table("read-é,0,1,4000,0,1"),
            "arrays.npz",
            ["line 2:", "read_id holds byte 0xC3 at position 5", "ASCII"],
        ),
        ("an id starting with @", table("@read-0,0,1,4000,0,1"), "arrays.npz", ["line 2:", "read_id starts with '@'"]),
        ("nan offset", table("read-0,nan,1,4000,0,1"), "arrays.npz", ["line 2 column daq_offset", "finite"]),
        ("infinite scaling", table("read-0,0,inf,4000,0,1"), "arrays.npz", ["column daq_scaling", "finite"]),
        ("negative scaling", table("read-0,0,-1,4000,0,1"), "arrays.npz", ["column daq_scaling", "above 0"]),
        ("no sampling rate", table("read-0,0,1,0,0,1"), "arrays.npz", ["column sampling_rate", "above 0"]),
        (
            "a channel beyond int32",
            table(f"read-0,0,1,4000,0,{2**31}"),
            "arrays.npz",
            ["line 2: channel 2147483648 is not a signed 32-bit int"],
        ),
        (
            "a start time beyond uint64",
            table(f"read-0,0,1,4000,{2**64},1"),
            "arrays.npz",
            ["line 2: start_time 18446744073709551616 is not an int"],
        ),
        (
            "a misspelt column",
            f"{HEADER},chanel\nread-0,0,1,4000,0,1,2\n{good},2\n",
            "arrays.npz",
            ["line 1", "unknown column 'chanel'"],
        ),
        (
            "a repeated column",
            f"{HEADER},channel\nread-0,0,1,4000,0,1,2\n{good},2\n",
            "arrays.npz",
            ["line 1", "column channel named more than once"],
        ),
        ("a short row", table("read-0,0,1"), "arrays.npz", ["line 2", "not as many fields"]),
        ("a damaged archive", table("read-0,0,1,4000,0,1"), "broken.npz", ["broken.npz", "not a NumPy .npz"]),
    ]
    for what, text, source, texts in cases:
        meta.write_text(text)
        done = run_corvane("convert", tmp_path / source, "--metadata", meta, "-o", tmp_path / "reads.h5")
        assert done.returncode == 2, (what, done.stderr)
        assert len(done.stderr.strip().splitlines()) == 1, (what, done.stderr)
        for message in texts:
            assert message in done.stderr, (what, message, done.stderr)
        assert not (tmp_path / "reads.h5").exists(), what
        assert not list(tmp_path.glob(".reads.h5*")), what
    done = run_corvane("convert", tmp_path / "missing.npz", "--metadata", meta, "-o", tmp_path / "reads.h5")
    assert done.returncode == 2 and "missing.npz: no such file" in done.stderr
    meta.write_text("\ufeff" + table("read-0,0,1,4000,0,1"))  # a byte-order mark is read past
    done = run_corvane("convert", tmp_path / "arrays.npz", "--metadata", meta, "-o", "/nonexistent/reads.h5")
    assert done.returncode == 2 and "no such folder /nonexistent" in done.stderr, done.stderr
    assert "partial" not in done.stderr and "flags" not in done.stderr
    del arrays
    np.savez(tmp_path / "arrays.npz", **{f"read-{i}": np.arange(10, dtype=np.int16) for i in range(2)})
    done = run_corvane("convert", tmp_path / "arrays.npz", "--metadata", meta, "-o", tmp_path / "reads.h5")
    assert done.returncode == 0, done.stderr
    with SignalFileReader(tmp_path / "reads.h5") as reader:
        assert [read["read_id"] for read in reader.read_range(0, 2)] == ["read-0", "read-1"]


def test_simulated_reads_are_called_back_as_their_truths(tmp_path, server, make_client):
    fasta = tmp_path / "ref.fa"
    rng = np.random.default_rng(9)
    fasta.write_text(">chr_a\n" + "".join(rng.choice(list("ACGT"), 5000)) + "\n")
    output = tmp_path / "reads.h5"
    done = run_corvane("simulate", "--reference", fasta, "-n", 30, "--length-mean", 200, "--seed", 4, "-o", output)
    assert done.returncode == 0, done.stderr
    with SignalFileReader(output) as reader:
        truths = reader.truths()
        reads = [read for chunk in reader.iter_chunks(max_reads=8) for read in chunk]
    assert len(reads) == len(truths) == 30
    lengths = {len(truth) for truth in truths.values()}
    assert min(lengths) >= 100 and max(lengths) <= 300 and len(lengths) > 5
    client = make_client(server)
    assert client.connect() == tavrix.Corvane.success
    assert client.pass_reads(reads, 10000) == tavrix.Corvane.read_accepted
    called = {group[0]["metadata"]["read_id"]: group[0]["datasets"]["sequence"] for group in collect(client, 30)}
    assert called == truths
    again = run_corvane("simulate", "-n", 2, "--split-fraction", 2, "-o", output)
    assert again.returncode == 2 and "--split-fraction" in again.stderr
