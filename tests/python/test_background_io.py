"""Input and output off the thread that drives the clients: signal files
read alike whatever their samples' compression, and the writer's thread
writes what the writer itself would, in order, handing its failures back."""

import h5py
import hdf5plugin
import numpy as np
import pytest
from conftest import collect, simulate

from corvane_cli.background_writer import NOT_WRITTEN, BackgroundWriter
from corvane_cli.output_paths import OutputPath
from corvane_cli.signal_file import SignalFileError, SignalFileReader, SignalFileWriter
from corvane_cli.writers import OutputError, ReadWriter

ZERO_LATENCY = {"data_plane": {"latency_ms_per_read": 0, "latency_ms_per_1000_samples": 0}}


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
    signal = (rng.normal(0, 300, (20, 40_000)) + 500).astype(np.int16)  # noisy, as a real signal is
    reads = [
        dict(read_id=f"r{i}", raw_data=samples, daq_offset=1.0, daq_scaling=0.5, sampling_rate=4e3, start_time=i)
        for i, samples in enumerate(signal)
    ]
    cases = [
        # (what, how the samples are stored again (None: as written), damaged, read back)
        ("as written now", None, False, True),
        ("as written before: shuffled, gzip", dict(shuffle=True, compression="gzip", compression_opts=1), False, True),
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


def called_groups(folder, start_server, make_client, count):
    """The called reads of `count` simulated reads, in read tag order."""
    with SignalFileReader(simulate(folder, count)) as reader:
        reads = reader.read_range(0, count)
    client = make_client(start_server(ZERO_LATENCY))
    assert client.connect() == client.success
    assert client.pass_reads(reads, 5000) == client.read_accepted
    groups = collect(client, count)
    return sorted(groups, key=lambda group: group[0]["read_tag"])


def spoiled(group):
    """A copy of the group whose records the library refuses to form (no
    read name for FASTQ, qualities that do not fit the bases for SAM)."""
    read = group[0]
    return [dict(read, metadata=dict(read["metadata"], read_id=""), datasets=dict(read["datasets"], qstring="!"))]


def write_on_thread(fmt, output, given, ids):
    """Writes the groups through a BackgroundWriter; (writer, what it handed
    back, OutputErrors raised)."""
    unwritten = []
    writer = BackgroundWriter(
        ReadWriter(OutputPath(output), fmt),
        lambda read_id, group, reason: unwritten.append((read_id, group, reason)),
    )
    failures = 0
    for read_id, group in zip(ids, given):
        try:
            writer.put(read_id, group)
        except OutputError:
            failures += 1
    try:
        writer.settle()
    except OutputError:
        failures += 1
    return writer, unwritten, failures


def test_the_writer_thread_writes_what_the_writer_would(tmp_path, start_server, make_client):
    groups = called_groups(tmp_path, start_server, make_client, 120)
    cases = [
        # (what, format, output, indices of groups spoiled, groups written (times over))
        ("fastq in order", "fastq", tmp_path / "ordered.fastq", set(), 1),
        ("sam with reads refused", "sam", tmp_path / "refused.sam", {0, 7, 119}, 1),
        ("fastq on a full device", "fastq", "/dev/full", set(), 20),
    ]
    for what, fmt, output, spoil, times in cases:
        given = [spoiled(group) if i in spoil else group for i, group in enumerate(groups)] * times
        ids = [str(group[0]["metadata"]["read_id"]) or f"spoiled {i}" for i, group in enumerate(given)]
        writer, unwritten, failures = write_on_thread(fmt, output, given, ids)
        if output == "/dev/full":
            assert failures == 1, what
            # Every group from the one the error hit on comes back, in order.
            assert 0 < len(unwritten) < len(given), what
            assert [item[0] for item in unwritten] == ids[len(given) - len(unwritten) :], what
            assert {item[2] for item in unwritten} == {NOT_WRITTEN}, what
            with pytest.raises(OutputError, match="/dev/full"):
                writer.close(complete=True)
            continue
        writer.close(complete=True)
        assert failures == 0, what
        assert [(item[0], item[2].split(":")[0]) for item in unwritten] == [
            (ids[i], "cannot be written") for i in sorted(spoil)
        ], what
        expected = tmp_path / f"expected.{fmt}"
        direct = ReadWriter(OutputPath(expected), fmt)
        for i, group in enumerate(given):
            if i not in spoil:
                direct.write(group)
        direct.close(complete=True)
        assert output.read_bytes() == expected.read_bytes(), what
        assert not list(tmp_path.glob("*.partial")), what
