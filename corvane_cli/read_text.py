"""FASTQ header lines and SAM records of called reads, written from the read
dicts tavrix returns with the library's text rules: the same tags in the
same order, and a tag whose value its type cannot hold left out."""

import math

import numpy as np

MAX_READ_NAME = 254
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
# An "i" tag holds any value from the int32 minimum to the uint32 maximum.
INT_TAG_MAX = 2**32 - 1


def _printable(text, space_allowed):
    # Printable ASCII is exactly the ASCII that str.isprintable() accepts.
    return text.isascii() and text.isprintable() and (space_allowed or " " not in text)


def read_name_problem(name):
    """Why a read name cannot start a FASTQ or SAM record; '' when it can."""
    if not name:
        return "is empty"
    if len(name) > MAX_READ_NAME:
        return f"has {len(name)} characters, more than the {MAX_READ_NAME} a read name holds"
    if name[0] == "@":
        return "starts with '@'"
    if not _printable(name, False):
        return "holds a character outside printable ASCII or a space"
    return ""


def float_text(value):
    """The shortest text that reads back as the same 32-bit float; fixed
    notation unless the exponent form is shorter."""
    value = np.float32(value)
    fixed = np.format_float_positional(value, unique=True, trim="-")
    scientific = np.format_float_scientific(value, unique=True, trim="-", exp_digits=2)
    return scientific if len(scientific) < len(fixed) else fixed


def _text_tag(tags, name, value):
    if _printable(value, True):
        tags.append(name + value)


def _int_tag(tags, name, value):
    if INT32_MIN <= value <= INT_TAG_MAX:
        tags.append(f"{name}{value}")


def _float_tag(tags, name, value):
    if math.isfinite(value):
        tags.append(name + float_text(value))


def read_tags(md):
    """The per-read tags of a read's metadata dict, in the library's order."""
    tags = []
    basecalled = "mean_qscore" in md
    if basecalled:
        _float_tag(tags, "qs:f:", md["mean_qscore"])
    if "mux" in md:
        _int_tag(tags, "mx:i:", md["mux"])
    if "channel" in md:
        _int_tag(tags, "ch:i:", md["channel"])
    _int_tag(tags, "rn:i:", md.get("read_number", 0))
    if md.get("time_stamp"):
        _text_tag(tags, "st:Z:", md["time_stamp"])
    if md.get("filename"):
        _text_tag(tags, "f5:Z:", md["filename"].replace("\\", "/").rsplit("/", 1)[-1])
    duration = md.get("duration", 0)
    _int_tag(tags, "ns:i:", duration)
    _int_tag(tags, "ts:i:", md.get("trimmed_samples", 0))
    if basecalled:
        _float_tag(tags, "sm:f:", md["scaling_median"])
        _float_tag(tags, "sd:f:", md["scaling_med_abs_dev"])
        _text_tag(tags, "sv:Z:", md.get("scaling_version", ""))
    rate = md.get("sampling_rate", 0.0)
    if rate > 0.0:
        _float_tag(tags, "du:f:", np.float32(duration / float(np.float32(rate))))
    if "poly_tail_length" in md:
        _int_tag(tags, "pt:i:", md["poly_tail_length"])
        items = [md[k] for k in ("poly_tail_anchor", "poly_tail_start_1", "poly_tail_end_1",
                                 "poly_tail_start_2", "poly_tail_end_2")]
        if all(INT32_MIN <= v <= INT32_MAX for v in items):
            tags.append("pa:B:i," + ",".join(str(v) for v in items))
    read_id = md.get("read_id", "")
    duplex_pair = "duplex_strand_1" in md
    if md.get("strand_id", "") != read_id and _printable(read_id, True):
        tags.append("pi:Z:" + read_id)
        if md.get("split_point", -1) >= 0 and not duplex_pair:
            _int_tag(tags, "sp:i:", md["split_point"])
    orientation = md.get("strand_orientation", "")
    if orientation != "?" and len(orientation) == 1 and "!" <= orientation <= "~":
        tags.append("TS:A:" + orientation)
    if md.get("umi_tag_sequence"):
        _text_tag(tags, "RX:Z:", md["umi_tag_sequence"])
    duplex = 1 if duplex_pair else (-1 if md.get("is_duplex_parent") else 0)
    tags.append(f"dx:i:{duplex}")
    return tags


def move_table_tag(read):
    """The "mv:B:c" tag of a read with moves and a stride; '' otherwise."""
    moves = read["datasets"].get("movement")
    md = read["metadata"]
    if moves is None or "model_stride" not in md or len(moves) == 0:
        return ""
    stride = np.int8(np.uint64(md["model_stride"]).astype(np.uint8).view(np.int8))
    moves = np.asarray(moves, dtype=np.int64)
    if (moves < 127).all():
        return f"mv:B:c,{stride}," + ",".join(map(str, moves.tolist()))
    items = []
    for value in moves.tolist():
        items.extend(["127"] * (value // 127))
        items.append(str(value % 127))
    return f"mv:B:c,{stride}," + ",".join(items)


def read_group_id(run_id, model_version_id, arrangement=""):
    """The read group of a read: run id, model and barcode arrangement, as
    FASTQ headers name it and SAM records and headers take it."""
    group = run_id + "_" + (model_version_id or "unknown")
    return group + "_" + arrangement if arrangement else group


def classified(arrangement):
    return bool(arrangement) and arrangement != "unclassified"


def read_group_tags(md):
    """The RG tag of a read's SAM records, and BC with the barcode it was
    classified to."""
    tags = []
    arrangement = md.get("barcode_arrangement", "")
    _text_tag(tags, "RG:Z:", read_group_id(md.get("run_id", ""), md.get("model_version_id", ""), arrangement))
    if classified(arrangement):
        _text_tag(tags, "BC:Z:", arrangement)
    return tags


def read_group_header_lines(run_ids, model_version_id, arrangements=("",)):
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
            if all(_printable(field, True) for field in fields):
                lines.append("\t".join(fields))
    return lines


def fastq_header(read, include_moves=False):
    """The FASTQ header line ("@" + strand id + tags) of a called read."""
    md = read["metadata"]
    name = md.get("strand_id", "")
    problem = read_name_problem(name)
    if problem:
        raise ValueError(f"Cannot write a FASTQ header: read name {problem}.")
    tags = read_tags(md)
    arrangement = md.get("barcode_arrangement", "")
    alias = md.get("barcode_alias", "")
    _text_tag(tags, "RG:Z:", read_group_id(md.get("run_id", ""), md.get("model_version_id", ""), arrangement))
    _text_tag(tags, "DT:Z:", md.get("exp_start_time") or "unknown")
    _text_tag(tags, "PU:Z:", md.get("flow_cell_id") or "unknown")
    _text_tag(tags, "LB:Z:", md.get("sample_id") or "unknown")
    if md.get("gpu_name"):
        _text_tag(tags, "DS:Z:", md["gpu_name"])
    if arrangement and arrangement != "unclassified":
        _text_tag(tags, "SM:Z:", arrangement)
    if alias and alias != "unclassified":
        _text_tag(tags, "al:Z:", alias)
    if include_moves and "movement" in read["datasets"]:
        tags.append(move_table_tag(read))
    return "\t".join(["@" + name] + tags)


def sam_records(read):
    """The SAM records of a called read: the library's own when it wrote
    them (aligned reads, modified bases), else one unmapped record."""
    md = read["metadata"]
    text = md.get("alignment_sam_record")
    if text:
        return text.split("\n")
    if "conversion_error" in md:
        raise ValueError(md["conversion_error"])
    name = md.get("strand_id", "")
    if "duplex_strand_1" in md:
        name = md["duplex_strand_1"] + ";" + md["duplex_strand_2"]
    problem = read_name_problem(name)
    if problem:
        raise ValueError(f"Read name {problem}.")
    sequence = read["datasets"].get("sequence", "")
    qstring = read["datasets"].get("qstring", "")
    if len(sequence) != len(qstring):
        raise ValueError("sequence and qscore do not match size!")
    fields = [name, "4", "*", "0", "0", "*", "*", "0", "0", sequence or "*", qstring or "*"]
    moves = move_table_tag(read)
    if moves:
        fields.append(moves)
    return ["\t".join(fields + read_tags(md))]


def records_to_write(group):
    """The reads of a result group that make records: each molecule once, so
    the pieces of a split read (which name their parent in pi:Z:) and not
    the whole read they came from."""
    called = [read for read in group if "sequence" in read["datasets"]]
    pieces = [read for read in called if read.get("sub_tag", 0) != 0]
    return pieces or called
