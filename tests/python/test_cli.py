"""The `corvane` program through its installed console script."""

import os
import re
import subprocess
import sys

import pytest
from conftest import corvane_script, run_corvane, simulate


@pytest.mark.parametrize(
    "args, pattern",
    [
        (["--help"], r"usage: corvane"),
        # The version names the package and the library.
        (["--version"], r"^corvane .*\(library {library}\)"),
    ],
)
def test_help_and_version(args, pattern):
    import tavrix

    library = re.escape(".".join(map(str, tavrix.Corvane.get_software_version())))
    done = run_corvane(*args)
    assert done.returncode == 0, done.stderr
    assert re.search(pattern.format(library=library), done.stdout), done.stdout


@pytest.mark.parametrize("args", [[], ["no-such-command"], ["--no-such-option"]])
def test_bad_command_line_exits_2_with_a_message(args):
    done = run_corvane(*args)
    assert done.returncode == 2
    assert "corvane" in done.stderr and "error" in done.stderr


def test_a_missing_extra_names_the_install_command(tmp_path):
    # A package of the "cli" extra that cannot be imported, as for a user
    # who installed the module alone.
    missing = "h5py"
    (tmp_path / "absent" / missing).mkdir(parents=True)
    (tmp_path / "absent" / missing / "__init__.py").write_text(
        f"raise ModuleNotFoundError({'No module named ' + missing!r}, name={missing!r})\n"
    )
    reads = tmp_path / "reads.h5"
    reads.write_bytes(b"")
    done = run_corvane(
        "basecall", reads, "-o", tmp_path / "out.fastq", env={**os.environ, "PYTHONPATH": str(tmp_path / "absent")}
    )
    assert done.returncode == 2, done.stderr
    assert f"needs {missing}" in done.stderr and "pip install 'tavrix[cli]'" in done.stderr
    assert "Traceback" not in done.stderr


def test_a_run_off_a_terminal_loads_only_what_it_needs(tmp_path):
    # Neither the progress bar's package (no bar is shown off a terminal)
    # nor all of hdf5plugin's filters (HDF5 loads the one a chunk needs);
    # the signal file read here is of the compression written now.
    reads = simulate(tmp_path, 3)
    command = [corvane_script(), "basecall", str(reads), "-o", str(tmp_path / "out.fastq")]
    done = subprocess.run([sys.executable, "-X", "importtime", *command], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    names = {line.rsplit("|", 1)[1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert not names & {"tqdm", "hdf5plugin", "pysam", "matplotlib"}, names & {"tqdm", "hdf5plugin"}
    assert {"h5py", "tavrix"} <= names
