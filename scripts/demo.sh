#!/usr/bin/env bash
# Installs, builds, and runs the project's main job on synthetic data:
# makes a small seeded reference, simulates a few thousand reads from it,
# basecalls them with `corvane basecall` on an embedded reference server
# (aligned against the reference, written as a sorted, indexed BAM), prints
# the run's summary and the first records through samtools. Then the C++
# example application does the same kind of run through the library alone.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh

reads=${DEMO_READS:-3000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corvane=.venv/bin/corvane

# A reference of three contigs, the same every run: nothing is downloaded.
.venv/bin/python - "$work/reference.fa" <<'PY'
import random
import sys

generator = random.Random(2026)
with open(sys.argv[1], "w") as fasta:
    for name, length in (("contig_1", 120_000), ("contig_2", 80_000), ("contig_3", 50_000)):
        sequence = "".join(generator.choice("ACGT") for _ in range(length))
        fasta.write(f">{name}\n")
        for start in range(0, length, 80):
            fasta.write(sequence[start:start + 80] + "\n")
PY

echo "== corvane simulate: $reads reads from a synthetic reference"
"$corvane" simulate --reference "$work/reference.fa" -n "$reads" --length-mean 1000 --seed 7 \
    -o "$work/reads.h5"

echo
echo "== corvane basecall on an embedded reference server, aligned, to BAM"
"$corvane" basecall "$work/reads.h5" -o "$work/called.bam" --reference "$work/reference.fa" \
    --clients 2 --summary "$work/summary.tsv"

echo
echo "-- first records (samtools view)"
{ samtools view "$work/called.bam" | head -n 5 | cut -c1-200; } || true  # head closes the pipe early
echo "-- first rows of the per-read summary"
head -n 4 "$work/summary.tsv"

echo
echo "== corvane_basecall_example (the C++ library alone): 300 simulated reads to FASTQ"
./build/corvane_basecall_example --reads 300 --length 400 --output "$work/example.fastq"
echo "-- first records"
head -n 4 "$work/example.fastq" | cut -c1-160

echo
echo "== corvane report: the run's totals and figures as one self-contained page"
# Kept after the demo (its work folder is removed): open it in a browser.
mkdir -p build/demo
"$corvane" report "$work/summary.tsv" -o build/demo/report.html --title "corvane demo: $reads simulated reads"
echo "report: $root/build/demo/report.html"
