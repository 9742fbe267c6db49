#pragma once

// The in-memory record of one read on its way through the library: tags,
// data sets, attachments and the keyed metadata. Reads are moved from stage
// to stage, never copied; the one copy made is a returned piece of a read,
// built by derive_returned_read.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "data_wrappers/dataset.h"
#include "interfaces/read_metadata.h"

namespace common {

class TargetConfigurations;

// Base of the polymorphic object a read may own for its producer.
class OwnedAttachment {
public:
    virtual ~OwnedAttachment() = default;
};

struct RecordBlock;

// Lets go of a read's metadata: deletes it, or, for metadata made in one
// block with its holder (make_read_record), destroys it and gives up its
// share of the block.
class MetadataRelease {
public:
    MetadataRelease() noexcept = default;
    explicit MetadataRelease(RecordBlock* block) noexcept : m_block(block) {}
    void operator()(interfaces::ReadMetadata* metadata) const noexcept;

private:
    RecordBlock* m_block = nullptr;  // null for metadata of its own
};

using MetadataPointer = std::unique_ptr<interfaces::ReadMetadata, MetadataRelease>;

// Members are used directly. Not synchronised: one thread owns a read at a
// time and hands it on by moving it.
//
// A holder made with new (the one an apps::Read owns) sits in a block of
// memory that may also hold its metadata (make_read_record), so that a read
// handed in by an application costs one allocation for both. Either part
// may outlive the other, on another thread: the block goes when both have.
struct ReadHolder final {
    ReadHolder();
    // Holds the given metadata, which must not be null.
    explicit ReadHolder(MetadataPointer record_metadata) noexcept;
    // The moved-from holder keeps its tags and priority and loses its data
    // sets, attachments and metadata.
    ReadHolder(ReadHolder&& other) noexcept;
    ReadHolder& operator=(ReadHolder&& other) noexcept;
    ReadHolder(const ReadHolder&) = delete;
    ReadHolder& operator=(const ReadHolder&) = delete;
    ~ReadHolder();

    static void* operator new(std::size_t size);
    static void operator delete(void* holder) noexcept;

    // A returned piece of this read: same tags, priority and target
    // configurations (shared), deep copies of the metadata and data sets,
    // its own sub tag and no other attachments.
    ReadHolder derive_returned_read(std::uint64_t returned_sub_tag) const;

    std::uint64_t read_tag = 0;
    std::int32_t priority = 1;  // apps::Read::Priority: 0 high, 1 medium, 2 low
    vesk::data_wrappers::v2::DatasetMap datasets;
    std::shared_ptr<void> shared_attachment_1;
    std::uint64_t sub_tag = 0;
    std::shared_ptr<TargetConfigurations> target_configurations;
    std::unique_ptr<OwnedAttachment> owned_attachment;
    MetadataPointer metadata;
};

// A new default holder and its default metadata, made in one block.
std::unique_ptr<ReadHolder> make_read_record();

// The read's metadata, which a holder emptied by a move no longer has:
// using it then is a contract violation.
const interfaces::ReadMetadata& metadata_of(const ReadHolder& read);

// The read's data set of that kind, or null.
const vesk::data_wrappers::v2::DataSetData* find_dataset(const ReadHolder& read, vesk::data_wrappers::v2::dataset key);

// Whether a read handed in by an application carries what the server needs
// (with duplex, also channel, mux and run id), and texts its SAM and FASTQ
// records can hold: the read id as a read name, the run id, sample id, file
// name and the other tag texts as printable ASCII. On failure, message
// becomes "Missing data in ReadHolder object:" followed by every missing
// item, then "Invalid data in ReadHolder object:" followed by every text
// that breaks its rule (each part only when it has items); on success it is
// left alone. Never throws.
bool validate_read_holder(const ReadHolder& read, std::string& message, bool duplex);

}  // namespace common
