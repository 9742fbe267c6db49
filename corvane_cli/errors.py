"""Exit codes of the `corvane` program and the error its commands raise for
a bad command line or unreadable input."""

EXIT_OK = 0
EXIT_READS_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A bad command line or unreadable input found after parsing: the
    program prints the message (which names the file and the problem) and
    exits with EXIT_USAGE."""
