#include "common/read_model/read_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "common/read_model/aligned_lines.h"
#include "common/read_model/alignment_config.h"
#include "common/read_model/modified_base_tags.h"
#include "common/read_model/read_holder.h"
#include "common/read_model/sam_text_rules.h"
#include "common/read_model/target_configurations.h"
#include "data_wrappers/data_set_data.h"
#include "interfaces/read_metadata.h"

namespace common {

GeneratedText generate_move_table_string(ByteView moves, std::int8_t stride) {
    if (moves.empty()) {
        return generation_failure("Zero length move table provided to generate_move_table_string");
    }
    GeneratedText result;
    std::string& text = result.text;
    text += "mv:B:c,";
    append_integer(text, static_cast<int>(stride));
    // Exact room first: long move tables are the bulk of a SAM line.
    std::size_t needed = 0;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const unsigned remainder = moves[i] % 127;
        needed += 4 * (moves[i] / 127) + 2 + (remainder >= 10) + (remainder >= 100);
    }
    const std::size_t start = text.size();
    text.resize(start + needed);
    char* out = text.data() + start;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const unsigned value = moves[i];
        // Each item is a signed byte, so larger moves become runs of 127.
        for (unsigned run = 0; run < value / 127; ++run) {
            std::memcpy(out, ",127", 4);
            out += 4;
        }
        *out++ = ',';
        out = write_unsigned(out, text.data() + text.size(), value % 127);
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
    result.success = true;
    return result;
}

GeneratedText make_unmapped_sam_line(std::string_view read_name,
                                     std::string_view sequence,
                                     std::string_view qstring) {
    if (sequence.size() != qstring.size()) {
        return generation_failure("sequence and qscore do not match size!");
    }
    if (read_name.empty()) {
        return generation_failure("Empty read_name string provided!");
    }
    if (const std::string problem = read_name_problem(read_name); !problem.empty()) {
        return generation_failure("Read name " + problem + ".");
    }
    GeneratedText result;
    std::string& line = result.text;
    line.reserve(read_name.size() + sequence.size() * 2 + 32);
    line += read_name;
    line += "\t4\t*\t0\t0\t*\t*\t0\t0\t";
    line += sequence.empty() ? std::string_view("*") : sequence;
    line += '\t';
    line += qstring.empty() ? std::string_view("*") : qstring;
    result.success = true;
    return result;
}

std::string float_tag_text(float value) {
    char buffer[48];
    auto converted = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, converted.ptr);
}

namespace {

namespace dw = vesk::data_wrappers::v2;
using interfaces::ReadMetadata;

void append_tag(std::string& line, std::string_view name_and_type, std::string_view value) {
    line += '\t';
    line += name_and_type;
    line += value;
}

// Each writer below leaves out a tag whose value its type cannot hold: one
// such record would end the reading of the whole file.

void append_text_tag(std::string& line, std::string_view name_and_type, std::string_view value) {
    if (is_tag_text(value)) {
        append_tag(line, name_and_type, value);
    }
}

template <class Integer>
void append_integer_tag(std::string& line, std::string_view name_and_type, Integer value) {
    if (!fits_integer_tag(value)) {
        return;
    }
    line += '\t';
    line += name_and_type;
    append_integer(line, value);
}

void append_float_tag(std::string& line, std::string_view name_and_type, float value) {
    if (std::isfinite(value)) {
        append_tag(line, name_and_type, float_tag_text(value));
    }
}

void append_int32_array_tag(std::string& line, std::string_view name_and_type, std::initializer_list<std::int64_t> values) {
    if (!std::all_of(values.begin(), values.end(), [](std::int64_t value) { return fits_int32_array_item(value); })) {
        return;
    }
    line += '\t';
    line += name_and_type;
    for (std::int64_t value : values) {
        line += ',';
        append_integer(line, value);
    }
}

std::string_view last_path_component(std::string_view path) {
    std::size_t separator = path.find_last_of("/\\");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

bool writes_bed_hits(const ReadHolder& read) {
    if (!read.target_configurations) {
        return false;
    }
    auto alignment = read.target_configurations->get<AlignmentConfig>();
    return alignment != nullptr && alignment->has_bed_file();
}

// The per-read tags, each preceded by a tab. `with_target_configurations`
// is false for the FASTQ header, which never carries "bh:i:".
void append_read_tags(std::string& line, const ReadHolder& read, bool with_target_configurations) {
    const ReadMetadata& metadata = metadata_of(read);
    const auto& basecall = metadata.basecall_data;
    if (basecall) {
        append_float_tag(line, "qs:f:", basecall->mean_qscore);
    }
    if (metadata.mux) {
        append_integer_tag(line, "mx:i:", *metadata.mux);
    }
    if (metadata.channel) {
        append_integer_tag(line, "ch:i:", *metadata.channel);
    }
    append_integer_tag(line, "rn:i:", metadata.read_number);
    if (!metadata.time_stamp.empty()) {
        append_text_tag(line, "st:Z:", metadata.time_stamp);
    }
    if (!metadata.filename.empty()) {
        append_text_tag(line, "f5:Z:", last_path_component(metadata.filename));
    }
    append_integer_tag(line, "ns:i:", metadata.duration);
    append_integer_tag(line, "ts:i:", metadata.trimmed_samples);
    if (basecall) {
        append_float_tag(line, "sm:f:", basecall->scaling_median);
        append_float_tag(line, "sd:f:", basecall->scaling_med_abs_dev);
        append_text_tag(line, "sv:Z:", basecall->scaling_version);
    }
    if (metadata.sampling_rate > 0.0f) {
        append_float_tag(line, "du:f:",
                         static_cast<float>(static_cast<double>(metadata.duration) / metadata.sampling_rate));
    }
    if (const auto& poly_tail = metadata.poly_tail_data) {
        append_integer_tag(line, "pt:i:", poly_tail->poly_tail_length);
        append_int32_array_tag(line, "pa:B:i", {poly_tail->poly_tail_anchor, poly_tail->poly_tail_start_1,
                                                 poly_tail->poly_tail_end_1, poly_tail->poly_tail_start_2,
                                                 poly_tail->poly_tail_end_2});
    }
    // A piece of a split read names its parent.
    if (metadata.strand_id != metadata.read_id && is_tag_text(metadata.read_id)) {
        append_tag(line, "pi:Z:", metadata.read_id);
        if (metadata.split_point >= 0 && !metadata.duplex_strands) {
            append_integer_tag(line, "sp:i:", metadata.split_point);
        }
    }
    // "TS:A:" holds exactly one printable character; any other orientation
    // text would make the record unreadable, so it is left out.
    const std::string& orientation = metadata.strand_orientation;
    if (orientation != "?" && orientation.size() == 1 && orientation[0] > ' ' && orientation[0] <= '~') {
        append_tag(line, "TS:A:", orientation);
    }
    if (!metadata.umi_tag_sequence.empty()) {
        append_text_tag(line, "RX:Z:", metadata.umi_tag_sequence);
    }
    if (with_target_configurations && writes_bed_hits(read)) {
        append_integer_tag(line, "bh:i:", metadata.alignment_data ? metadata.alignment_data->bed_hits : 0);
    }
    int duplex = 0;
    if (metadata.duplex_strands) {
        duplex = 1;
    } else if (metadata.is_duplex_parent) {
        duplex = -1;
    }
    append_integer_tag(line, "dx:i:", duplex);
}

std::string_view or_unknown(const std::string& text) {
    return text.empty() ? std::string_view("unknown") : std::string_view(text);
}

// Empty when the read has no moves or no basecall group to take the stride
// from; an empty move table also gives an empty tag.
std::string move_table_tag(const ReadHolder& read) {
    const dw::DataSetData* moves = find_dataset(read, dw::movement);
    const ReadMetadata& metadata = metadata_of(read);
    if (moves == nullptr || !metadata.basecall_data) {
        return {};
    }
    GeneratedText tag = generate_move_table_string(moves->view<const std::uint8_t>(),
                                                   static_cast<std::int8_t>(metadata.basecall_data->model_stride));
    return tag.success ? std::move(tag.text) : std::string();
}

const std::string& text_dataset(const ReadHolder& read, dw::dataset key, const char* missing_what) {
    const dw::DataSetData* data = find_dataset(read, key);
    if (data == nullptr) {
        throw std::runtime_error("Read " + metadata_of(read).read_id + " does not contain a " + missing_what +
                                 "! Cannot generate SAM line.");
    }
    return data->string_value();
}

}  // namespace

std::string fastq_header_line(const ReadHolder& read, bool include_move_table) {
    const ReadMetadata& metadata = metadata_of(read);
    if (const std::string problem = read_name_problem(metadata.strand_id); !problem.empty()) {
        throw std::runtime_error("Cannot write a FASTQ header: read name " + problem + ".");
    }
    std::string line;
    line.reserve(512);
    line += '@';
    line += metadata.strand_id;
    append_read_tags(line, read, false);

    const std::string no_arrangement;
    const std::string& arrangement = metadata.barcode_data ? metadata.barcode_data->arrangement : no_arrangement;
    const std::string& alias = metadata.barcode_data ? metadata.barcode_data->alias : no_arrangement;
    std::string read_group = metadata.run_id;
    read_group += '_';
    read_group += or_unknown(metadata.model_version_id);
    if (!arrangement.empty()) {
        read_group += '_';
        read_group += arrangement;
    }
    append_text_tag(line, "RG:Z:", read_group);
    append_text_tag(line, "DT:Z:", or_unknown(metadata.exp_start_time));
    append_text_tag(line, "PU:Z:", or_unknown(metadata.flow_cell_id));
    append_text_tag(line, "LB:Z:", or_unknown(metadata.sample_id));
    if (!metadata.gpu_name.empty()) {
        append_text_tag(line, "DS:Z:", metadata.gpu_name);
    }
    if (!arrangement.empty() && arrangement != "unclassified") {
        append_text_tag(line, "SM:Z:", arrangement);
    }
    if (!alias.empty() && alias != "unclassified") {
        append_text_tag(line, "al:Z:", alias);
    }
    if (include_move_table && find_dataset(read, dw::movement) != nullptr) {
        append_tag(line, "", move_table_tag(read));
    }
    return line;
}

std::vector<interfaces::AlignmentSamLine> sam_and_bed_lines(const ReadHolder& read, float threshold_percent) {
    const unsigned threshold = modbase_threshold_from_percent(threshold_percent);
    const ReadMetadata& metadata = metadata_of(read);

    std::vector<interfaces::AlignmentSamLine> lines = aligned_lines(read);
    if (lines.empty()) {
        std::string name = metadata.strand_id;
        if (metadata.duplex_strands) {
            name = metadata.duplex_strands->duplex_strand_1 + ";" + metadata.duplex_strands->duplex_strand_2;
        }
        const std::string& qstring = text_dataset(read, dw::qstring, "qstring");
        const std::string& sequence = text_dataset(read, dw::sequence, "sequence");
        GeneratedText unmapped = make_unmapped_sam_line(name, sequence, qstring);
        if (!unmapped.success) {
            throw std::runtime_error("make_unmapped_sam_line failed: " + unmapped.error);
        }
        lines.push_back(interfaces::AlignmentSamLine{std::move(unmapped.text), {}});
    }

    std::string& first = lines.front().sam_line;
    const std::string modbase = modified_base_tags(read, threshold);
    if (!modbase.empty()) {
        append_tag(first, "", modbase);
    }
    if (find_dataset(read, dw::movement) != nullptr) {
        const std::string moves = move_table_tag(read);
        if (!moves.empty()) {
            append_tag(first, "", moves);
        }
    }
    append_read_tags(first, read, true);
    return lines;
}

}  // namespace common
