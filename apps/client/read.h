#pragma once

/// @file
/// The exported read handle.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <apps/client/corvane_export.h>
#include <data_wrappers/dataset.h>
#include <interfaces/alignment_sam_line.h>
#include <interfaces/read_metadata_mutable_view.h>
#include <interfaces/read_metadata_view.h>

namespace common {
struct ReadHolder;
}

namespace apps {

/// A read handed to or returned by a client.
///
/// The handle owns one read record. A client that accepts a read moves the
/// record's data sets and metadata into its queue: afterwards only the tags
/// and the priority may be read until clear() or set_readholder() gives the
/// handle a full record again (its data set map is then empty). A handle
/// that was the source of a move owns nothing and may only be destroyed,
/// assigned to or cleared. Reading the metadata of an emptied record, or
/// anything of a handle that owns nothing, is a contract violation: the
/// library logs it and ends the process.
///
/// Not synchronised: use one handle from one thread at a time.
class CORVANE_EXPORT Read {
public:
    /// Scheduling priority of reads. A new client's default is MEDIUM_PRIORITY.
    enum class Priority : std::int32_t {
        HIGH_PRIORITY = 0,
        MEDIUM_PRIORITY = 1,
        LOW_PRIORITY = 2,
    };

    /// One SAM record of the read and the BED lines of that alignment
    /// (`sam_line`, `bed_lines`).
    using AlignmentSamLine = interfaces::AlignmentSamLine;

    /// The read's data sets, keyed by kind (raw signal, sequence, ...).
    using DatasetMap = vesk::data_wrappers::v2::DatasetMap;

    /// A handle owning a new default record: tags 0, medium priority, no
    /// data sets, default metadata.
    Read();
    /// Takes the other handle's record; the other owns nothing afterwards.
    Read(Read&& other) noexcept;
    /// Takes the other handle's record and destroys the previous one; the
    /// other owns nothing afterwards. Self-assignment does nothing.
    Read& operator=(Read&& other) noexcept;
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    ~Read();

    /// Resets the record to a new default record (also for a handle that
    /// owned nothing).
    void clear();

    /// The caller's identifier of the read; reads come back under it.
    unsigned long long get_read_tag() const;
    void set_read_tag(unsigned long long read_tag);
    /// Index of a returned read among the pieces of one submitted read.
    unsigned long long get_sub_tag() const;

    /// The stored priority; a value outside the enumeration reads as -1.
    Priority get_priority() const;
    /// Stores one of the three priorities; -1 is stored as MEDIUM_PRIORITY
    /// and any other value leaves the priority unchanged.
    void set_priority(Priority priority);

    /// The record itself (internal type; for the library and its bindings).
    common::ReadHolder& get_readholder();
    const common::ReadHolder& get_readholder() const;
    /// Replaces the record with the given one.
    void set_readholder(common::ReadHolder read_holder);

    /// Keyed access to the read's metadata. The view must not outlive the
    /// record.
    interfaces::ReadMetadataMutableView get_metadata();
    interfaces::ReadMetadataView get_metadata() const;

    DatasetMap& get_datasets();
    const DatasetMap& get_datasets() const;

    /// Whether the read carries an alignment result table.
    bool has_alignment_data() const;

    /// The FASTQ header line ("@" + name + tags, no terminator); with
    /// `include_move_table` the move-table tag is appended when the read
    /// has moves. A tag whose value SAM cannot hold (a number out of its
    /// range, a NaN, text outside printable ASCII) is left out.
    /// @throws std::runtime_error for malformed read data or a name no
    /// record can hold (empty, over 254 characters, a space, tab or other
    /// character outside printable ASCII, or a leading "@").
    std::string extract_fastq_header_line(bool include_move_table) const;

    /// One entry per SAM record of the read: its alignments, or a single
    /// unmapped record. The first record carries the modified-base,
    /// move-table and per-read tags. `modbase_threshold_percent` is the
    /// probability, in percent, from which a base without a motif is
    /// reported as modified; 100 or more reports none of them. Tags SAM
    /// cannot hold are left out, as for the FASTQ header line.
    /// @throws std::runtime_error for malformed read data, a NaN threshold
    /// or a read name no record can hold.
    std::vector<AlignmentSamLine> extract_sam_and_bed_lines(float modbase_threshold_percent) const;

private:
    friend class CorvaneImpl;

    /// A handle owning the given record, without first making a default
    /// one: how the client hands back the records it moved in.
    explicit Read(common::ReadHolder&& record);

    const common::ReadHolder& owned_record() const;
    common::ReadHolder& owned_record();

    std::unique_ptr<common::ReadHolder> m_read_holder;
};

/// Text of a priority; "invalid_priority_value" for values outside 0..2 (never throws).
CORVANE_EXPORT std::string to_string(Read::Priority value);

}  // namespace apps
