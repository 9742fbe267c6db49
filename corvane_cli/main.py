"""Entry point of the `corvane` console script."""

import argparse
import importlib
import os
import pkgutil
import sys
import threading
from collections.abc import Sequence
from typing import Any, NoReturn

from corvane_cli import commands
from corvane_cli.errors import EXIT_INTERRUPTED, EXIT_USAGE, Abandoned, UsageError

# What the program runs on beyond the module: the wheel's "cli" extra.
CLI_EXTRA_MODULES = ("h5py", "pysam", "tqdm", "matplotlib", "dask", "distributed")
# The library's trace settings.
TRACE_SETTINGS = ("QOR_BASECALL_TRACE_CONFIG", "QOR_BASECALL_TRACE_FOLDER")


def command_names() -> list[str]:
    """The subcommands: every module of corvane_cli.commands, so that adding
    a command is adding its module and nothing else."""
    return sorted(info.name for info in pkgutil.iter_modules(commands.__path__) if not info.name.startswith("_"))


def version_text() -> str:
    from importlib.metadata import PackageNotFoundError, version

    import tavrix

    try:
        package = version("tavrix")
    except PackageNotFoundError:
        package = "unknown"
    library = ".".join(map(str, tavrix.Corvane.get_software_version()))
    return f"corvane {package} (library {library})"


class _VersionAction(argparse.Action):
    # The versions are looked up only when asked: tavrix is a heavy import.
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> NoReturn:
        print(version_text())
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane", description="Basecall raw signal reads through a basecall server, and the tools around it."
    )
    parser.add_argument("--version", action=_VersionAction, help="show the program's and the library's versions")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in command_names():
        module = importlib.import_module(f"corvane_cli.commands.{name}")
        sub = module.add_parser(subparsers)
        sub.set_defaults(run=module.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv`, or the program's own: then the process
    ends here once the command is done, without tearing down what the
    interpreter would (the command has closed, flushed and named every
    output before it returns)."""
    if argv is None:
        # The process is the program's own. NumPy's BLAS would start a
        # thread per further core on import, which spins for a tenth of a
        # second of CPU time that the run's own threads need; nothing here
        # multiplies matrices. Set before any command imports NumPy.
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    code = _main(argv)
    if argv is None:
        _end_process(code)
    return code


def _end_process(code: int) -> None:
    """Ends the process with `code` once standard output and standard error
    are flushed; returns, for the interpreter's own exit, when either cannot
    be flushed (its report of that is kept) or a thread still runs that the
    interpreter would wait for, or the library traces the run (its trace is
    written out as the library ends)."""
    if any(os.environ.get(name) for name in TRACE_SETTINGS):
        return
    if any(
        thread.is_alive() and not thread.daemon
        for thread in threading.enumerate()
        if thread is not threading.main_thread()
    ):
        return
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        return
    os._exit(code)


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)  # exits 2 with a message on a bad command line
    try:
        return args.run(args)
    except UsageError as error:
        print(f"corvane {args.command}: {error}", file=sys.stderr)
        return EXIT_USAGE
    except ModuleNotFoundError as error:
        if (error.name or "").split(".")[0] not in CLI_EXTRA_MODULES:
            raise
        print(
            f"corvane {args.command}: needs {error.name}, which comes with the program's extra: "
            "pip install 'tavrix[cli]'",
            file=sys.stderr,
        )
        return EXIT_USAGE
    except KeyboardInterrupt as interrupt:
        print(f"corvane {args.command}: interrupted", file=sys.stderr)
        if isinstance(interrupt, Abandoned):
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
