#include "apps/client/read.h"

#include <utility>

#include "common/runtime/contract.h"
#include "common/read_model/read_alignment.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/dataset.h"

namespace apps {

Read::Read() : m_read_holder(common::make_read_record()) {}

Read::Read(common::ReadHolder&& record) : m_read_holder(std::make_unique<common::ReadHolder>(std::move(record))) {}

Read::Read(Read&& other) noexcept = default;

Read& Read::operator=(Read&& other) noexcept {
    if (this != &other) {
        m_read_holder = std::move(other.m_read_holder);
    }
    return *this;
}

Read::~Read() = default;

void Read::clear() {
    if (m_read_holder) {
        *m_read_holder = common::ReadHolder();
    } else {
        m_read_holder = common::make_read_record();
    }
}

const common::ReadHolder& Read::owned_record() const {
    QOR_EXPECTS(m_read_holder != nullptr, "Read handle owns no read record: it was the source of a move");
    return *m_read_holder;
}

common::ReadHolder& Read::owned_record() {
    QOR_EXPECTS(m_read_holder != nullptr, "Read handle owns no read record: it was the source of a move");
    return *m_read_holder;
}

unsigned long long Read::get_read_tag() const {
    return owned_record().read_tag;
}

void Read::set_read_tag(unsigned long long read_tag) {
    owned_record().read_tag = read_tag;
}

unsigned long long Read::get_sub_tag() const {
    return owned_record().sub_tag;
}

Read::Priority Read::get_priority() const {
    const std::int32_t stored = owned_record().priority;
    if (stored >= 0 && stored <= 2) {
        return static_cast<Priority>(stored);
    }
    return static_cast<Priority>(-1);
}

void Read::set_priority(Priority priority) {
    const auto value = static_cast<std::int32_t>(priority);
    if (value >= 0 && value <= 2) {
        owned_record().priority = value;
    } else if (value == -1) {
        owned_record().priority = static_cast<std::int32_t>(Priority::MEDIUM_PRIORITY);
    }
}

common::ReadHolder& Read::get_readholder() {
    return owned_record();
}

const common::ReadHolder& Read::get_readholder() const {
    return owned_record();
}

void Read::set_readholder(common::ReadHolder read_holder) {
    m_read_holder = std::make_unique<common::ReadHolder>(std::move(read_holder));
}

interfaces::ReadMetadataMutableView Read::get_metadata() {
    common::ReadHolder& record = owned_record();
    QOR_EXPECTS(record.metadata != nullptr,
                "Read metadata is gone: the read was passed to a client; clear() or set_readholder() first");
    return interfaces::ReadMetadataMutableView(*record.metadata);
}

interfaces::ReadMetadataView Read::get_metadata() const {
    const common::ReadHolder& record = owned_record();
    QOR_EXPECTS(record.metadata != nullptr,
                "Read metadata is gone: the read was passed to a client; clear() or set_readholder() first");
    return interfaces::ReadMetadataView(*record.metadata);
}

Read::DatasetMap& Read::get_datasets() {
    return owned_record().datasets;
}

const Read::DatasetMap& Read::get_datasets() const {
    return owned_record().datasets;
}

bool Read::has_alignment_data() const {
    return owned_record().datasets.count(vesk::data_wrappers::v2::align_results) != 0;
}

std::string Read::extract_fastq_header_line(bool include_move_table) const {
    const common::ReadHolder& record = owned_record();
    QOR_EXPECTS(record.metadata != nullptr,
                "Read metadata is gone: the read was passed to a client; clear() or set_readholder() first");
    return common::fastq_header_line(record, include_move_table);
}

std::vector<Read::AlignmentSamLine> Read::extract_sam_and_bed_lines(float modbase_threshold_percent) const {
    const common::ReadHolder& record = owned_record();
    QOR_EXPECTS(record.metadata != nullptr,
                "Read metadata is gone: the read was passed to a client; clear() or set_readholder() first");
    return common::sam_and_bed_lines(record, modbase_threshold_percent);
}

}  // namespace apps
