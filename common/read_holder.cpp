#include "common/read_holder.h"

#include <utility>

#include "common/contract.h"
#include "common/target_configurations.h"

namespace common {

ReadHolder::ReadHolder() : metadata(std::make_unique<interfaces::ReadMetadata>()) {}

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
    if (missing.empty()) {
        return true;
    }
    message = "Missing data in ReadHolder object:" + missing;
    return false;
}

}  // namespace common
