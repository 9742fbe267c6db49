#pragma once

// The builder of outgoing read messages.
//
//   ReadMessageBuilder builder(room, allocator);
//   std::uint8_t* block = builder.reserve(bytes);  // then written in place
//
// A read message is almost all samples, and each of its blocks is written
// in one piece (ReadBlockWriter): the table, its own texts, the samples
// vector and the padding that aligns them, laid out by the writer. Taking
// that room at once, and copying the samples straight into it, saves the
// builder's field-by-field steps (aligning each part, then the vector's
// length) that otherwise cost as much as a short read's samples.
//
// Everything else (shared texts, vtables, the batch and the envelope) goes
// through the usual builder calls. One thread.

#include <cstddef>
#include <cstdint>

#include <flatbuffers/flatbuffers.h>

namespace ipc_tools {

class ReadMessageBuilder : public flatbuffers::FlatBufferBuilder {
public:
    using flatbuffers::FlatBufferBuilder::FlatBufferBuilder;

    // `bytes` of uninitialised room below everything built so far, growing
    // the buffer if needed: its lowest byte, which sits at GetSize() from
    // the buffer's end. Valid until the next call that writes.
    std::uint8_t* reserve(std::size_t bytes) { return buf_.make_space(bytes); }
};

}  // namespace ipc_tools
