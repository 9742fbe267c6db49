"""Basecalling over a local Dask cluster of two workers against two
reference servers."""

import pytest
from conftest import FAST_PARAMS, run_corvane

from corvane_cli.distributed import DistributedError, run_distributed
from corvane_cli.signal_file import SignalFileReader

distributed = pytest.importorskip("distributed")


@pytest.fixture
def cluster():
    # Workers as threads of this process: no nanny, nothing left running.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as local:
        yield local


@pytest.fixture
def simulated(tmp_path):
    path = tmp_path / "reads.h5"
    done = run_corvane("simulate", "-n", 60, "--length-mean", 120, "--seed", 8, "--split-fraction", 0.2, "-o", path)
    assert done.returncode == 0, done.stderr
    return path


def test_every_read_comes_back_exactly_once_from_both_servers(cluster, start_server, simulated):
    servers = [start_server(name="a"), start_server(name="b")]
    groups = []
    with SignalFileReader(simulated) as reader:
        truths = reader.truths()
        ids = [read["read_id"] for chunk in reader.iter_chunks() for read in chunk]
        summary = run_distributed(
            cluster.scheduler_address,
            servers,
            reader,
            "ref_dna_fast",
            FAST_PARAMS,
            lambda read_id, group: groups.append((read_id, group)),
            max_reads=4,
        )
    counts = summary.counts
    assert counts.failures == []
    assert counts.reads_in == counts.with_results == len(groups) == 60
    assert sorted(group[0]["read_tag"] for _, group in groups) == list(range(60))
    for read_id, group in groups:
        parent = next(read for read in group if read["sub_tag"] == 0)
        assert parent["metadata"]["read_id"] == read_id == ids[parent["read_tag"]]
        assert parent["datasets"]["sequence"] == truths[read_id]
    assert sorted(summary.reads_per_server) == sorted(servers)
    assert sum(summary.reads_per_server.values()) == 60


def test_an_unreachable_server_stops_the_run_naming_it(cluster, tmp_path, simulated):
    missing = f"ipc://{tmp_path}/nobody.sock"
    with SignalFileReader(simulated) as reader, pytest.raises(DistributedError, match="nobody.sock"):
        run_distributed(
            cluster.scheduler_address,
            [missing],
            reader,
            "ref_dna_fast",
            FAST_PARAMS,
            lambda read_id, group: None,
            max_reads=30,
        )


def test_basecall_with_dask_writes_every_read_once(start_server, simulated, tmp_path):
    servers = [start_server(name="a"), start_server(name="b")]
    # A scheduler the console script in its own process can reach.
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, protocol="tcp://", host="127.0.0.1", dashboard_address=None
    ) as local:
        output = tmp_path / "calls.fastq"
        done = run_corvane(
            "basecall",
            simulated,
            "-o",
            output,
            "--dask",
            local.scheduler_address,
            "--server",
            servers[0],
            "--server",
            servers[1],
            timeout=300,
        )
    assert done.returncode == 0, done.stderr
    with SignalFileReader(simulated) as reader:
        truths = reader.truths()
    headers = [line[1:].split("\t") for line in output.read_text().splitlines()[::4]]
    # A split read is written as its pieces, which name it in pi:Z:.
    molecules = {next((tag[5:] for tag in fields if tag.startswith("pi:Z:")), fields[0]) for fields in headers}
    assert len({fields[0] for fields in headers}) == len(headers) and molecules == set(truths)
    assert "reads in: 60\n" in done.stderr and "reads failed: 0\n" in done.stderr
