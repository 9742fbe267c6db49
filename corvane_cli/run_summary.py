"""What a basecall run reports: the per-read summary table, the final
counts, and the one-page report figure."""

import time

import numpy as np

TSV_COLUMNS = ("read_id", "channel", "start_time", "duration", "sequence_length", "mean_qscore",
               "alignment_genome", "alignment_genome_start", "alignment_identity", "barcode_arrangement")
THROUGHPUT_BIN_S = 1.0


def _seconds(md, key):
    rate = md.get("sampling_rate", 0.0)
    return md.get(key, 0) / rate if rate > 0 else 0.0


def _primary(group):
    """The read that speaks for a group: the whole read (sub tag 0), which
    the library returns ahead of the pieces of a split read."""
    for read in group:
        if read.get("sub_tag", 0) == 0:
            return read
    return group[0]


class RunRecord:
    """Collects what the summaries need, one group of called reads at a
    time; keeps only small numbers per read."""

    def __init__(self, truths=None, summary_file=None):
        self.truths = truths or {}
        self.identical = 0
        self.compared = 0
        self.identities = []
        self.lengths = []
        self.qscores = []
        self.arrivals = []  # (seconds since start, samples)
        self.started = time.monotonic()
        self._tsv = summary_file
        if self._tsv is not None:
            self._tsv.write("\t".join(TSV_COLUMNS) + "\n")

    def add(self, read_id, group):
        read = _primary(group)
        md = read["metadata"]
        sequence = read["datasets"].get("sequence")
        self.arrivals.append((time.monotonic() - self.started, md.get("duration", 0)))
        if sequence is not None:
            self.lengths.append(len(sequence))
            if "mean_qscore" in md:
                self.qscores.append(md["mean_qscore"])
            truth = self.truths.get(read_id)
            if truth is not None:
                self.compared += 1
                self.identical += sequence == truth
        if "alignment_identity" in md and md.get("alignment_genome", "*") not in ("", "*"):
            self.identities.append(md["alignment_identity"])
        if self._tsv is not None:
            row = (read_id, md.get("channel", ""), f"{_seconds(md, 'start_time'):.4f}",
                   f"{_seconds(md, 'duration'):.4f}", len(sequence) if sequence is not None else 0,
                   f"{md['mean_qscore']:.2f}" if "mean_qscore" in md else "",
                   md.get("alignment_genome", ""), md.get("alignment_genome_start", ""),
                   f"{md['alignment_identity']:.4f}" if "alignment_identity" in md else "",
                   md.get("barcode_arrangement", ""))
            self._tsv.write("\t".join(map(str, row)) + "\n")

    def summary_lines(self, counts, elapsed_s):
        lines = [
            f"reads in: {counts.reads_read}",
            f"reads out with results: {counts.with_results}",
            f"reads out without results: {counts.without_results}",
            f"reads failed: {counts.failed}",
            f"throughput: {counts.reads_in / elapsed_s:.1f} reads/s, {counts.samples_in / elapsed_s:.0f} samples/s "
            f"over {elapsed_s:.1f} s" if elapsed_s > 0 else "throughput: -",
        ]
        if self.compared:
            lines.append(f"identical to truth: {self.identical}/{self.compared} "
                         f"({100.0 * self.identical / self.compared:.2f}%)")
        if self.identities:
            lines.append(f"mean alignment identity: {np.mean(self.identities):.4f} over {len(self.identities)} "
                         f"aligned reads")
        for read_id, reason in counts.failures[:20]:
            lines.append(f"  failed: {read_id}: {reason}")
        if len(counts.failures) > 20:
            lines.append(f"  ... and {len(counts.failures) - 20} more failed reads")
        return lines

    def write_report(self, path):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        figure, (lengths, qscores, throughput) = plt.subplots(1, 3, figsize=(15, 4.5))
        lengths.hist(self.lengths or [0], bins=50, color="tab:blue")
        lengths.set(title="Read length", xlabel="bases", ylabel="reads")
        qscores.hist(self.qscores or [0], bins=50, color="tab:green")
        qscores.set(title="Mean qscore", xlabel="qscore", ylabel="reads")
        if self.arrivals:
            times = np.array([t for t, _ in self.arrivals])
            bins = np.arange(0.0, times.max() + THROUGHPUT_BIN_S, THROUGHPUT_BIN_S)
            counts, edges = np.histogram(times, bins=bins if len(bins) > 1 else 1)
            throughput.step(edges[:-1], counts / THROUGHPUT_BIN_S, where="post", color="tab:red")
        throughput.set(title="Throughput", xlabel="seconds since start", ylabel="reads/s")
        figure.tight_layout()
        figure.savefig(path, format="png")
        plt.close(figure)
