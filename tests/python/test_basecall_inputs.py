"""`corvane basecall` over folders, and over folders it watches while files
appear in them, through the installed console script."""

import os
import subprocess
import threading
import time

import pytest
from conftest import corvane_script, fastq_records, run_corvane, simulate, wait_for
from test_basecall import summary_counts


def staged(folder, name, reads, seed):
    """A signal file made beside the watched folder, to be renamed into it
    as a signal file writer does."""
    folder.mkdir(exist_ok=True)
    return simulate(folder, reads, 200, seed, None, name)


def test_folders_give_their_signal_files_in_natural_order(tmp_path):
    runs = tmp_path / "runs"
    runs.mkdir()
    simulate(runs, 5, 200, 1, None, "batch_2.h5")
    simulate(runs, 5, 200, 1, None, "batch_10.h5")  # the same read ids again
    (runs / "sub").mkdir()
    simulate(runs / "sub", 4, 200, 3, None, "batch_0.hdf5")
    # Not signal files by name: a writer's temporary file and a hidden one.
    (runs / "batch_3.h5.partial").write_text("half written")
    (runs / ".batch_4.h5").write_text("hidden")
    (runs / "notes.txt").write_text("not a signal file")
    (tmp_path / "empty").mkdir()
    rows = [
        # (what, arguments, exit code, summary counts, texts on stderr)
        (
            "a folder: its files, the later repeating the earlier's ids",
            [runs],
            1,
            {"reads in": 10, "reads out with results": 5, "reads failed": 5},
            [f"read id given again (first in {runs / 'batch_2.h5'})"],
        ),
        (
            "--recursive takes subfolders",
            [runs, "--recursive"],
            1,
            {"reads in": 14, "reads out with results": 9, "reads failed": 5},
            [],
        ),
        ("an empty folder", [tmp_path / "empty"], 2, {}, ["no signal files (*.h5, *.hdf5) in the folder"]),
        ("--watch without a folder", [runs / "batch_2.h5", "--watch"], 2, {}, ["give at least one folder"]),
        ("--watch-stop-after without --watch", [runs, "--watch-stop-after", 1], 2, {}, ["give --watch too"]),
        ("--watch-stop-after 0", [runs, "--watch", "--watch-stop-after", 0], 2, {}, ["positive number"]),
    ]
    for what, args, code, counts, texts in rows:
        output = tmp_path / "called.fastq"
        done = run_corvane("basecall", *args, "-o", output)
        assert done.returncode == code, (what, done.stderr)
        found = summary_counts(done.stderr)
        for label, number in counts.items():
            assert found.get(label) == number, (what, label, done.stderr)
        for text in texts:
            assert text in done.stderr, (what, text, done.stderr)
        if code != 2:
            assert len(fastq_records(output)) == counts["reads out with results"], what


class Program:
    """`corvane ARGS...` running, its standard error read line by line on a
    thread of its own."""

    def __init__(self, *args, env=None):
        self.lines = []
        self.process = subprocess.Popen(
            [corvane_script(), *map(str, args)],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stderr:
            self.lines.append(line)

    def said(self, text):
        return any(text in line for line in self.lines)

    def wait(self, deadline_s=60):
        code = self.process.wait(timeout=deadline_s)
        self._reader.join(deadline_s)
        return code, "".join(self.lines)


@pytest.mark.parametrize("polling, stop", [(False, "file"), (True, "after")])
def test_watch_calls_every_file_that_appears_exactly_once(tmp_path, polling, stop):
    watched = tmp_path / "watched"
    watched.mkdir()
    staging = tmp_path / "staging"
    first = staged(staging, "batch_0.h5", 6, 10)
    os.replace(first, watched / first.name)
    later = [staged(staging, f"batch_{n}.h5", 6, 10 + n) for n in (1, 2, 3)]
    ending = ["--watch-stop-file", tmp_path / "stop"] if stop == "file" else ["--watch-stop-after", 3]
    env = dict(os.environ, CORVANE_WATCH_POLLING="1" if polling else "0")
    output = tmp_path / "called.fastq"
    program = Program("basecall", watched, "--watch", "--recursive", *ending, "-o", output, env=env)
    try:
        wait_for(lambda: program.said(f"{watched / 'batch_0.h5'}: 6 reads, passing"), "the first file's reads")
        assert program.said("(polling)" if polling else "(inotify)")
        # Appearing while the run waits: one file, a half-written one under a
        # temporary name, then two at once in a new subfolder.
        os.replace(later[0], watched / later[0].name)
        (watched / ".batch_9.h5.1234.partial").write_text("half written")
        wait_for(lambda: program.said("batch_1.h5: 6 reads, passing"), "the file that appeared")
        (staging / "sub").mkdir()
        for path in later[1:]:
            os.replace(path, staging / "sub" / path.name)
        os.replace(staging / "sub", watched / "sub")
        wait_for(lambda: program.said("batch_3.h5: 6 reads, passing"), "the files of the new subfolder")
        if stop == "file":
            (tmp_path / "stop").write_text("")
        code, stderr = program.wait()
    finally:
        if program.process.poll() is None:
            program.process.kill()
            program.wait()
    assert code == 0, stderr
    counts = summary_counts(stderr)
    assert counts["reads in"] == 24 and counts["reads out with results"] == 24, stderr
    assert len(fastq_records(output)) == 24
    assert not list(tmp_path.glob("called.fastq.partial"))


def test_a_watch_ends_on_ctrl_c_with_its_output_kept_partial(tmp_path):
    watched = tmp_path / "watched"
    watched.mkdir()
    simulate(watched, 4, 200, 7, None, "batch_0.h5")
    output = tmp_path / "called.fastq"
    program = Program("basecall", watched, "--watch", "-o", output)
    wait_for(lambda: program.said("batch_0.h5: 4 reads, passing"), "the first file's reads")
    began = time.monotonic()
    program.process.send_signal(2)
    code, stderr = program.wait()
    assert code == 130 and time.monotonic() - began < 5, stderr
    counts = summary_counts(stderr)
    assert counts["reads in"] == 4 and counts["reads out with results"] + counts["reads failed"] == 4, stderr
    assert len(fastq_records(tmp_path / "called.fastq.partial")) == counts["reads out with results"]
    assert not output.exists()
