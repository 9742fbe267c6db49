"""corvane query: ask a basecall server for its barcode kits, counters,
information or internal state."""

import argparse
import json
import sys
from collections.abc import Callable
from typing import Any

QUERIES = ("kits", "stats", "info", "state")


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "query",
        help="query a basecall server",
        description="Prints a server's answer as JSON; exits 1 naming the result when the query fails.",
    )
    parser.add_argument("address", metavar="ADDRESS", help="server address (a port, tcp:// or ipc://)")
    parser.add_argument("what", choices=QUERIES, help="kits, stats, info or state")
    parser.add_argument("--timeout", type=int, default=2000, metavar="MS", help="reply wait (default 2000 ms)")
    return parser


def run(args: argparse.Namespace) -> int:
    import tavrix

    corvane = tavrix.Corvane
    call: Callable[[str, int], tuple[Any, tavrix.Corvane.result]] = {
        "kits": corvane.get_barcode_kits,
        "stats": corvane.get_server_stats,
        "info": corvane.get_server_information,
        "state": corvane.get_server_internal_state,
    }[args.what]
    answer, result = call(args.address, max(args.timeout, 0))
    if result != corvane.success:
        print(f"corvane query: {args.what} from {args.address}: {result.name}", file=sys.stderr)
        return 1
    if isinstance(answer, str):
        try:
            answer = json.loads(answer)
        except ValueError:
            print(answer)
            return 0
    print(json.dumps(answer, indent=2))
    return 0
