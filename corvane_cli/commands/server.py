"""corvane server: the reference server in the foreground."""

import argparse
import os
import signal
import stat
import subprocess
import sys

IPC_PREFIX = "ipc://"


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "server",
        help="run a reference server in the foreground",
        description="Runs the reference server in the foreground until SIGINT or SIGTERM (or the control "
        "command stop), with these options passed on to it. An ipc:// socket file the server made "
        "is removed when it ends.",
    )
    parser.add_argument(
        "--listen",
        default="5555",
        metavar="ADDRESS",
        help="a port (127.0.0.1 only; 0 picks a free one), tcp://HOST:PORT or ipc://PATH (default 5555)",
    )
    parser.add_argument("--settings", metavar="FILE", help="JSON settings of the server")
    parser.add_argument("--config", metavar="FILE", help="the former name of --settings (deprecated)")
    parser.add_argument("--control", metavar="ADDRESS", help="also take JSON control commands there")
    parser.add_argument("--verbosity", choices=("0", "1", "2"), help="0 silent, 1 a line per request, 2 with texts")
    parser.add_argument("--print-default-config", action="store_true", help="print the default settings and exit")
    return parser


def _socket_identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.lstat(path)
    except OSError:
        return None
    return (info.st_dev, info.st_ino) if stat.S_ISSOCK(info.st_mode) else None


def run(args: argparse.Namespace) -> int:
    from corvane_cli.programs import ProgramNotFoundError, find_program

    try:
        program = find_program("reference_server")
    except ProgramNotFoundError as error:
        print(f"corvane server: {error}", file=sys.stderr)
        return 1
    settings = args.settings
    if args.config is not None:
        print("corvane server: --config is deprecated; use --settings", file=sys.stderr)
        settings = settings or args.config
    if args.print_default_config:
        server_args = ["--print-default-config"]
    else:
        server_args = ["--listen", args.listen]
        for option, value in (("--config", settings), ("--control", args.control), ("--verbosity", args.verbosity)):
            if value is not None:
                server_args += [option, value]
    sockets = [
        address[len(IPC_PREFIX) :]
        for address in (args.listen, args.control)
        if address and address.startswith(IPC_PREFIX) and not args.print_default_config
    ]
    # A socket file there already is another server's (or a stale one): it
    # is left alone.
    before = {path: _socket_identity(path) for path in sockets}
    sys.stdout.flush()
    sys.stderr.flush()
    process = subprocess.Popen([program, *server_args])
    # The server stops on the signals this process gets; Ctrl-C in a
    # terminal reaches both.
    previous = {
        number: signal.signal(number, lambda number, frame: process.send_signal(number))
        for number in (signal.SIGINT, signal.SIGTERM)
    }
    try:
        code = process.wait()
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    for path in sockets:
        found = _socket_identity(path)
        if found is not None and found != before[path]:
            os.unlink(path)
    return 128 - code if code < 0 else code
