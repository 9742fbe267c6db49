"""The read groups corvane adds to the library's SAM text: the RG tag (and
BC with a classified barcode) of every record and the @RG lines of the
header. The FASTQ header line names the same group; the library writes it."""

from collections.abc import Iterable, Mapping, Sequence


def _is_tag_text(text: str) -> bool:
    # What a "Z" tag holds: printable ASCII and spaces, the ASCII that
    # str.isprintable() accepts.
    return text.isascii() and text.isprintable()


def read_group_id(run_id: str, model_version_id: str, arrangement: str = "") -> str:
    """The read group of a read: run id, model and barcode arrangement, as
    the library's FASTQ header names it."""
    group = run_id + "_" + (model_version_id or "unknown")
    return group + "_" + arrangement if arrangement else group


def classified(arrangement: str) -> bool:
    return bool(arrangement) and arrangement != "unclassified"


def read_group_tags(metadata: Mapping[str, object]) -> str:
    """The tags a read's SAM records take, each after a tab: RG, and BC
    with the barcode the read was classified to. A text a tag cannot hold is
    left out, as the library leaves it out of the FASTQ header."""
    arrangement = str(metadata.get("barcode_arrangement", ""))
    group = read_group_id(str(metadata.get("run_id", "")), str(metadata.get("model_version_id", "")), arrangement)
    tags = "\tRG:Z:" + group if _is_tag_text(group) else ""
    if classified(arrangement) and _is_tag_text(arrangement):
        tags += "\tBC:Z:" + arrangement
    return tags


def read_group_header_lines(
    run_ids: Iterable[str], model_version_id: str, arrangements: Sequence[str] = ("",)
) -> list[str]:
    """The @RG lines of a SAM header: one per run id and arrangement ("" for
    reads not barcoded), with SM and BC for a classified barcode and DS
    naming the run and the model."""
    lines = []
    for run_id in sorted(run_ids):
        for arrangement in arrangements:
            fields = ["@RG", "ID:" + read_group_id(run_id, model_version_id, arrangement)]
            if classified(arrangement):
                fields += ["SM:" + arrangement, "BC:" + arrangement]
            fields.append(f"DS:run_id={run_id} basecall_model={model_version_id or 'unknown'}")
            if all(_is_tag_text(field) for field in fields):
                lines.append("\t".join(fields))
    return lines
