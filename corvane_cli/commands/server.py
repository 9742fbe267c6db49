"""corvane server: the reference server in the foreground."""

import os
import sys


def add_parser(subparsers):
    parser = subparsers.add_parser(
        "server", help="run a reference server in the foreground",
        description="Runs the reference server in the foreground until SIGINT or SIGTERM, with these options "
                    "passed on to it.")
    parser.add_argument("--listen", default="5555", metavar="ADDRESS",
                        help="a port (127.0.0.1 only; 0 picks a free one), tcp://HOST:PORT or ipc://PATH "
                             "(default 5555)")
    parser.add_argument("--config", metavar="FILE", help="JSON settings of the server")
    parser.add_argument("--control", metavar="ADDRESS", help="also take JSON control commands there")
    parser.add_argument("--verbosity", choices=("0", "1", "2"), help="0 silent, 1 a line per request, 2 with texts")
    parser.add_argument("--print-default-config", action="store_true", help="print the default settings and exit")
    return parser


def run(args):
    from corvane_cli.programs import ProgramNotFoundError, find_program

    try:
        program = find_program("reference_server")
    except ProgramNotFoundError as error:
        print(f"corvane server: {error}", file=sys.stderr)
        return 1
    if args.print_default_config:
        server_args = ["--print-default-config"]
    else:
        server_args = ["--listen", args.listen]
        for option, value in (("--config", args.config), ("--control", args.control),
                              ("--verbosity", args.verbosity)):
            if value is not None:
                server_args += [option, value]
    sys.stdout.flush()
    sys.stderr.flush()
    # The server takes this process's place: signals, exit code and output
    # are its own.
    os.execv(program, [program, *server_args])
