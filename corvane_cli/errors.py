"""Exit codes of the `corvane` program and the errors its commands raise for
a bad command line, unreadable input or an interruption."""

EXIT_OK = 0
EXIT_READS_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A bad command line or unreadable input found after parsing: the
    program prints the message (which names the file and the problem) and
    exits with EXIT_USAGE."""


class Abandoned(KeyboardInterrupt):
    """Interrupted while a call that cannot be cut short (connecting to a
    server that does not answer) still runs on a thread of its own: once the
    command has cleaned up, the process ends at once instead of waiting."""
