"""Input and output off the thread that drives the clients: signal files
read alike whatever their samples' compression, and the writer's thread
writes what the writer itself would, in order, handing its failures back."""

import h5py
import hdf5plugin
import numpy as np
import pytest

from corvane_cli.signal_file import SignalFileError, SignalFileReader, SignalFileWriter


def restore_signal(path, **options):
    """Stores the file's samples again with other dataset options."""
    with h5py.File(path, "r+") as file:
        samples = file["signal"][:]
        del file["signal"]
        file.create_dataset("signal", data=samples, chunks=(1 << 18,), maxshape=(None,), **options)


def damage_first_chunk(path):
    with h5py.File(path, "r") as file:
        info = file["signal"].id.get_chunk_info(0)
    with open(path, "r+b") as file:
        file.seek(info.byte_offset + info.size // 2)
        file.write(b"\x5a" * 64)


def test_signal_files_read_alike_whatever_their_compression(tmp_path):
    rng = np.random.default_rng(3)
    reads = [
        {
            "read_id": f"r{i}",
            "raw_data": (rng.normal(0, 300, 40_000) + 500).astype(np.int16),
            "daq_offset": 1.0,
            "daq_scaling": 0.5,
            "sampling_rate": 4000.0,
            "start_time": i,
        }
        for i in range(20)
    ]
    cases = [
        # (what, how the samples are stored again (None: as written), damaged, read back)
        ("as written now", None, False, True),
        ("as written before: shuffled, gzip", dict(shuffle=True, compression="gzip", compression_opts=1), False, True),
        ("not compressed", {}, False, True),
        # LZ4 has no checksum: the chunks' own finds the damage.
        ("as written now, damaged", None, True, False),
        ("shuffled, gzip, damaged", dict(shuffle=True, compression="gzip", compression_opts=1), True, False),
    ]
    for number, (what, options, damaged, readable) in enumerate(cases):
        path = tmp_path / f"reads-{number}.h5"
        with SignalFileWriter(path) as writer:
            for read in reads:
                writer.add(read)
        if options is not None:
            restore_signal(path, **options)
        if damaged:
            damage_first_chunk(path)
        with SignalFileReader(path) as reader:
            if not readable:
                with pytest.raises(SignalFileError, match="signal unreadable"):
                    list(reader.iter_chunks())
                continue
            got = [read for chunk in reader.iter_chunks(max_reads=7) for read in chunk]
        assert [read["read_id"] for read in got] == [read["read_id"] for read in reads], what
        for read, want in zip(got, reads):
            np.testing.assert_array_equal(read["raw_data"], want["raw_data"], err_msg=what)
    # What is written now: the fast choice, checksummed.
    with h5py.File(tmp_path / "reads-0.h5") as file:
        plist = file["signal"].id.get_create_plist()
    codes = {plist.get_filter(i)[0] for i in range(plist.get_nfilters())}
    assert codes == {hdf5plugin.BSHUF_ID, h5py.h5z.FILTER_FLETCHER32}
