"""Entry point of the `corvane` console script."""

import argparse
import importlib
import pkgutil
import sys

from corvane_cli import commands
from corvane_cli.errors import EXIT_INTERRUPTED, EXIT_USAGE, UsageError


def command_names() -> list[str]:
    """The subcommands: every module of corvane_cli.commands, so that adding
    a command is adding its module and nothing else."""
    return sorted(info.name for info in pkgutil.iter_modules(commands.__path__) if not info.name.startswith("_"))


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane",
        description="Basecall raw signal reads through a basecall server, and the tools around it.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in command_names():
        module = importlib.import_module(f"corvane_cli.commands.{name}")
        sub = module.add_parser(subparsers)
        sub.set_defaults(run=module.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)  # exits 2 with a message on a bad command line
    try:
        return args.run(args)
    except UsageError as error:
        print(f"corvane {args.command}: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"corvane {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
