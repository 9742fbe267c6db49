"""The `corvane` program through its installed console script."""

import os
import re
import subprocess
import sys
import threading

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


def imported_modules(command, stderr_on_terminal):
    """The modules `python -X importtime COMMAND...` imported, and its exit
    code; its standard error a pipe or a terminal."""
    if not stderr_on_terminal:
        done = subprocess.run([sys.executable, "-X", "importtime", *command], capture_output=True, text=True)
        text, code = done.stderr, done.returncode
    else:
        master, slave = os.openpty()
        chunks = []

        def drain():
            while True:
                try:
                    chunk = os.read(master, 1 << 16)
                except OSError:  # the terminal's other end closed
                    return
                if not chunk:
                    return
                chunks.append(chunk)

        reader = threading.Thread(target=drain)
        reader.start()
        try:
            program = subprocess.Popen(
                [sys.executable, "-X", "importtime", *command], stderr=slave, stdout=subprocess.DEVNULL
            )
            os.close(slave)
            code = program.wait(timeout=120)
        finally:
            reader.join(timeout=30)
            os.close(master)
        text = b"".join(chunks).decode(errors="replace")
    names = {line.rsplit("|", 1)[1].strip() for line in text.splitlines() if line.startswith("import time:")}
    return names, code, text


def test_a_run_loads_only_what_it_needs(tmp_path):
    reads = simulate(tmp_path, 3)
    cases = [
        # (standard error a terminal, modules never loaded, modules loaded)
        (False, {"tqdm", "hdf5plugin", "pysam", "matplotlib"}, {"h5py", "tavrix"}),
        (True, {"hdf5plugin", "pysam", "matplotlib"}, {"tqdm"}),
    ]
    for terminal, absent, present in cases:
        command = [corvane_script(), "basecall", str(reads), "-o", str(tmp_path / f"out-{terminal}.fastq")]
        names, code, text = imported_modules(command, terminal)
        assert code == 0, (terminal, text[-2000:])
        assert not names & absent, (terminal, names & absent)
        assert present <= names, (terminal, present - names)
