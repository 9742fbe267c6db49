#pragma once

// The fixed metadata record of a read. Applications reach its fields only by
// key through ReadMetadataView and ReadMetadataMutableView; the library and
// the Python module, built from the same tree, use the fields directly.
// A fixed record rather than a map keeps a read's metadata one allocation.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace interfaces {

// The optional groups and pairs of a read's metadata. They sit outside
// ReadMetadata so that they are complete (default member initialisers
// included) where the record declares its std::optional members.

struct BasecallData {
    // One flag per called base: the positions the modified-base tags
    // consider. No key exposes it.
    std::vector<bool> base_flags;
    std::string base_mod_alphabet;
    std::string base_mod_context;
    std::string base_mod_long_names;
    std::string scaling_version;
    std::uint64_t model_stride = 0;
    std::uint64_t num_events = 0;
    std::uint64_t sequence_length = 0;
    std::uint64_t trimmed_events = 0;
    float mean_qscore = 0.0f;
    float med_abs_dev = 0.0f;
    float median = 0.0f;
    float qscore_scale = 1.0f;
    float qscore_shift = 0.0f;
    float scaling_med_abs_dev = 0.0f;
    float scaling_median = 0.0f;
    bool passes_filtering = false;
};

struct BarcodeData {
    std::string alias;
    std::string arrangement;
    std::string kit;
    std::string variant;
    float front_score = 0.0f;
    float rear_score = 0.0f;
    float score = 0.0f;
    std::int32_t front_begin_index = 0;
    std::int32_t front_foundseq_length = 0;
    std::int32_t rear_end_index = 0;
    std::int32_t rear_foundseq_length = 0;
};

struct AlignmentData {
    std::string direction;
    std::string genome;
    float accuracy = 0.0f;
    float coverage = 0.0f;
    float identity = 0.0f;
    std::int32_t bed_hits = 0;
    std::int32_t genome_end = 0;
    std::int32_t genome_start = 0;
    std::int32_t mapping_quality = 0;
    std::int32_t num_aligned = 0;
    std::int32_t num_alignments = 0;
    std::int32_t num_correct = 0;
    std::int32_t num_deletions = 0;
    std::int32_t num_events = 0;
    std::int32_t num_insertions = 0;
    std::int32_t num_secondary_alignments = 0;
    std::int32_t num_supplementary_alignments = 0;
    std::int32_t strand_end = 0;
    std::int32_t strand_score = 0;
    std::int32_t strand_start = 0;
};

struct PolyTailData {
    std::int64_t poly_tail_anchor = 0;
    std::int64_t poly_tail_end_1 = 0;
    std::int64_t poly_tail_end_2 = 0;
    std::int64_t poly_tail_start_1 = 0;
    std::int64_t poly_tail_start_2 = 0;
    std::int32_t poly_tail_length = 0;
};

struct DuplexStrands {
    std::string duplex_strand_1;
    std::string duplex_strand_2;
};

struct BarcodeTrim {
    std::int32_t trim_front = 0;
    std::int32_t trim_rear = 0;
};

struct ReadMetadata {
    using BasecallData = interfaces::BasecallData;
    using BarcodeData = interfaces::BarcodeData;
    using AlignmentData = interfaces::AlignmentData;
    using PolyTailData = interfaces::PolyTailData;
    using DuplexStrands = interfaces::DuplexStrands;
    using BarcodeTrim = interfaces::BarcodeTrim;

    // Groups appear only when the server reports them.
    std::optional<BasecallData> basecall_data;
    std::optional<BarcodeData> barcode_data;
    std::optional<AlignmentData> alignment_data;
    std::optional<PolyTailData> poly_tail_data;
    std::optional<DuplexStrands> duplex_strands;
    std::optional<BarcodeTrim> barcode_trim;
    std::optional<std::uint32_t> batch_number;

    std::string bed_lines;
    std::string device_id;
    std::string end_reason;
    std::string exp_start_time;
    std::string experiment_id;
    std::string filename_short;
    std::string filename;
    std::string flow_cell_id;
    std::string flow_cell_product_code;
    std::string gpu_name;
    std::string modbase_model_version_id;
    std::string model_version_id;
    std::string pore_type;
    std::string protocol_group_id;
    std::string protocol_run_id;
    std::string read_id;
    std::string run_id;
    std::string sam_record;
    std::string sample_id;
    std::string sequencing_kit;
    std::string strand_id;
    std::string strand_orientation = "?";
    std::string time_stamp;
    std::string umi_tag_sequence;

    double duration_seconds = 0.0;
    double median_before = 0.0;
    double start_time_seconds = 0.0;
    double trimmed_duration_seconds = 0.0;
    double trimmed_start_seconds = 0.0;

    std::uint64_t duration = 0;
    std::uint64_t num_keldrow_events = 0;
    std::optional<std::uint64_t> start_time;
    std::uint64_t trimmed_duration = 0;
    std::uint64_t trimmed_samples = 0;

    std::optional<float> daq_offset;
    std::optional<float> daq_scaling;
    float open_pore_level = std::numeric_limits<float>::quiet_NaN();
    float sampling_rate = 0.0f;

    std::optional<std::uint32_t> mux;
    std::uint32_t read_number = 0;

    std::optional<std::int32_t> channel;
    std::int32_t split_point = -1;

    std::uint16_t client_id = 65535;

    bool is_duplex_parent = false;
};

}  // namespace interfaces
