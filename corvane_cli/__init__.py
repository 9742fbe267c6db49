"""The corvane command-line program: signal files in, called reads out,
through a pool of tavrix clients and a basecall server."""
