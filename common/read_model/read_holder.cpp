#include "common/read_model/read_holder.h"

#include <atomic>
#include <new>
#include <utility>

#include "common/runtime/contract.h"
#include "common/read_model/sam_text_rules.h"
#include "common/read_model/target_configurations.h"

namespace common {

// What a block holds first: how many of its parts (the holder, and the
// metadata made with it) still live. The last part to go frees the block,
// on whichever thread that happens.
struct RecordBlock {
    explicit RecordBlock(std::uint32_t parts) noexcept : live_parts(parts) {}
    void release_part() noexcept {
        if (live_parts.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~RecordBlock();
            ::operator delete(static_cast<void*>(this));
        }
    }
    std::atomic<std::uint32_t> live_parts;
};

namespace {

constexpr std::size_t round_up(std::size_t size, std::size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}

// Block layout: the count, the holder, then (for make_read_record) the
// metadata.
constexpr std::size_t holder_offset = round_up(sizeof(RecordBlock), alignof(std::max_align_t));
constexpr std::size_t metadata_offset = round_up(holder_offset + sizeof(ReadHolder), alignof(interfaces::ReadMetadata));
static_assert(alignof(ReadHolder) <= alignof(std::max_align_t));
static_assert(alignof(interfaces::ReadMetadata) <= alignof(std::max_align_t));

RecordBlock* block_of(void* holder) noexcept {
    return std::launder(reinterpret_cast<RecordBlock*>(static_cast<unsigned char*>(holder) - holder_offset));
}

}  // namespace

void MetadataRelease::operator()(interfaces::ReadMetadata* metadata) const noexcept {
    if (m_block == nullptr) {
        delete metadata;
        return;
    }
    metadata->~ReadMetadata();
    m_block->release_part();
}

void* ReadHolder::operator new(std::size_t size) {
    QOR_EXPECTS(size == sizeof(ReadHolder), "Read holder allocated with a size not its own");
    void* raw = ::operator new(holder_offset + sizeof(ReadHolder));
    ::new (raw) RecordBlock(1);
    return static_cast<unsigned char*>(raw) + holder_offset;
}

void ReadHolder::operator delete(void* holder) noexcept {
    if (holder != nullptr) {
        block_of(holder)->release_part();
    }
}

std::unique_ptr<ReadHolder> make_read_record() {
    auto* raw = static_cast<unsigned char*>(::operator new(metadata_offset + sizeof(interfaces::ReadMetadata)));
    interfaces::ReadMetadata* metadata = nullptr;
    try {
        metadata = ::new (raw + metadata_offset) interfaces::ReadMetadata();
    } catch (...) {
        ::operator delete(static_cast<void*>(raw));
        throw;
    }
    auto* block = ::new (raw) RecordBlock(2);
    // Neither constructor below throws.
    auto* holder = ::new (raw + holder_offset) ReadHolder(MetadataPointer(metadata, MetadataRelease(block)));
    return std::unique_ptr<ReadHolder>(holder);
}

ReadHolder::ReadHolder() : metadata(new interfaces::ReadMetadata()) {}

ReadHolder::ReadHolder(MetadataPointer record_metadata) noexcept : metadata(std::move(record_metadata)) {}

ReadHolder::ReadHolder(ReadHolder&& other) noexcept
    : read_tag(other.read_tag),
      priority(other.priority),
      datasets(std::move(other.datasets)),
      shared_attachment_1(std::move(other.shared_attachment_1)),
      sub_tag(other.sub_tag),
      target_configurations(std::move(other.target_configurations)),
      owned_attachment(std::move(other.owned_attachment)),
      metadata(std::move(other.metadata)) {
    other.datasets.clear();
}

ReadHolder& ReadHolder::operator=(ReadHolder&& other) noexcept {
    if (this != &other) {
        read_tag = other.read_tag;
        priority = other.priority;
        datasets = std::move(other.datasets);
        other.datasets.clear();
        shared_attachment_1 = std::move(other.shared_attachment_1);
        sub_tag = other.sub_tag;
        target_configurations = std::move(other.target_configurations);
        owned_attachment = std::move(other.owned_attachment);
        metadata = std::move(other.metadata);
    }
    return *this;
}

ReadHolder::~ReadHolder() = default;

ReadHolder ReadHolder::derive_returned_read(std::uint64_t returned_sub_tag) const {
    ReadHolder piece;
    piece.read_tag = read_tag;
    piece.priority = priority;
    piece.sub_tag = returned_sub_tag;
    piece.target_configurations = target_configurations;
    piece.datasets = datasets;
    // A holder emptied by a move still yields a well-formed piece.
    if (metadata) {
        *piece.metadata = *metadata;
    }
    return piece;
}

const interfaces::ReadMetadata& metadata_of(const ReadHolder& read) {
    QOR_EXPECTS(read.metadata != nullptr, "Read record has no metadata: it was passed to a client");
    return *read.metadata;
}

const vesk::data_wrappers::v2::DataSetData* find_dataset(const ReadHolder& read, vesk::data_wrappers::v2::dataset key) {
    auto found = read.datasets.find(key);
    return found == read.datasets.end() ? nullptr : &found->second;
}

namespace {

// The texts an application gives that become SAM and FASTQ text: the read
// id is the read name (and the parent named by "pi:Z:"), the others are
// written into tags. Text that would split a record is refused here, where
// the application can still mend it; each item names the rule it breaks.
std::string invalid_text_items(const interfaces::ReadMetadata& metadata) {
    std::string invalid;
    if (!metadata.read_id.empty()) {
        if (const std::string problem = read_name_problem(metadata.read_id); !problem.empty()) {
            invalid += " read_id " + problem + ".";
        }
    }
    // Only the file's own name reaches its tag, not the folders above it.
    const std::size_t file_name_start = metadata.filename.find_last_of("/\\");
    const struct {
        const char* name;
        const std::string& text;
        std::size_t from;
    } tag_texts[] = {
        {"run_id", metadata.run_id, 0},
        {"sample_id", metadata.sample_id, 0},
        {"time_stamp", metadata.time_stamp, 0},
        {"filename", metadata.filename, file_name_start == std::string::npos ? 0 : file_name_start + 1},
        {"exp_start_time", metadata.exp_start_time, 0},
        {"flow_cell_id", metadata.flow_cell_id, 0},
        {"gpu_name", metadata.gpu_name, 0},
        {"umi_tag_sequence", metadata.umi_tag_sequence, 0},
    };
    for (const auto& item : tag_texts) {
        if (const std::string problem = tag_text_problem(item.text, item.from); !problem.empty()) {
            invalid += std::string(" ") + item.name + " " + problem + ".";
        }
    }
    if (metadata.barcode_data) {
        if (const std::string problem = tag_text_problem(metadata.barcode_data->alias); !problem.empty()) {
            invalid += " barcode_data::alias " + problem + ".";
        }
    }
    return invalid;
}

}  // namespace

bool validate_read_holder(const ReadHolder& read, std::string& message, bool duplex) {
    // An emptied holder (its contents moved away) lacks all of its metadata.
    static const interfaces::ReadMetadata no_metadata;
    const interfaces::ReadMetadata& metadata = read.metadata ? *read.metadata : no_metadata;

    std::string missing;
    if (read.datasets.find(vesk::data_wrappers::v2::raw_data) == read.datasets.end()) {
        missing += " raw_data dataset not found.";
    }
    if (metadata.read_id.empty()) {
        missing += " read_id metadata field not found.";
    }
    if (!metadata.daq_offset) {
        missing += " daq_offset field not found.";
    }
    if (!metadata.daq_scaling) {
        missing += " daq_scaling metadata field not found.";
    }
    // Written so that a NaN rate fails too.
    if (!(metadata.sampling_rate > 0.0f)) {
        missing += " sampling_rate metadata field not found.";
    }
    if (!metadata.start_time) {
        missing += " start_time metadata field not found.";
    }
    if (duplex) {
        if (!metadata.channel) {
            missing += " channel metadata field not found.";
        }
        if (!metadata.mux) {
            missing += " mux metadata field not found.";
        }
        if (metadata.run_id.empty()) {
            missing += " run_id metadata field not found.";
        }
    }
    const std::string invalid = invalid_text_items(metadata);
    if (missing.empty() && invalid.empty()) {
        return true;
    }
    message.clear();
    if (!missing.empty()) {
        message = "Missing data in ReadHolder object:" + missing;
    }
    if (!invalid.empty()) {
        message += (message.empty() ? "" : " ") + std::string("Invalid data in ReadHolder object:") + invalid;
    }
    return false;
}

}  // namespace common
