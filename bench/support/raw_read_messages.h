#pragma once

// The wire messages of a short-read conversation, built and read with the
// generated FlatBuffers code alone: what a bare loop that talks to a server
// must do at least, for the benchmarks' raw baseline to do the client's
// work less the client itself. A batch carries each read's samples and the
// metadata the client sends; the server's completed batch carries for each
// read the sequence and qualities of the stand-in caller's size, and the
// reader verifies it (a peer's bytes) and copies out what an application
// keeps of a called read.
//
//   RawReadBatch batch{...};
//   zmq::message_t push = build_read_batch(batch);
//   RawCalledReads called;
//   bool ok = read_completed_batch(reply, called);

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <zmq.hpp>

namespace bench_support {

struct RawRead {
    std::uint32_t read_tag = 0;
    std::string read_id;
    const std::vector<std::int16_t>* signal = nullptr;  // held by the caller
};

// One PASS_READ_BATCH of `reads` under `client_id`.
zmq::message_t build_read_batch(std::span<const RawRead> reads, const std::string& client_id);

// A GET_FIRST_CALLED_BLOCK request, and the small replies.
zmq::message_t build_pull_request(const std::string& client_id);
std::string batch_accepted_reply();

// The RETURN_COMPLETED_BATCH a server sends for `reads` reads of `samples`
// samples each: a base and a quality per `stride` samples.
std::string completed_batch_reply(std::size_t reads, std::size_t samples, std::size_t stride);

// What an application keeps of a called read.
struct RawCalledRead {
    std::uint32_t read_tag = 0;
    std::string read_id;
    std::string sequence;
    std::string qstring;
};

// Verifies a completed batch and appends its reads to `called`; false when
// the frame is not one.
bool read_completed_batch(const zmq::message_t& frame, std::vector<RawCalledRead>& called);

// Verifies a small reply; false when the frame is not a valid envelope.
bool verify_reply(const zmq::message_t& frame);

}  // namespace bench_support
