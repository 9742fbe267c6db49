"""One module per subcommand, each with add_parser(subparsers) and
run(args) -> int. Modules import their heavy dependencies inside run(), so
that `corvane --help` stays quick."""
