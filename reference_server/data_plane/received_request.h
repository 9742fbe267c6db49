#pragma once

// One request frame as the server received it, checked once: its size, its
// file identifier and a FlatBuffers verification of the whole buffer. The
// handlers read the verified envelope directly (read blocks and batches
// included), so nothing is verified twice.
//
// Neither copyable nor movable: the envelope points into the frame. The
// frame's bytes are held on the heap and may be kept past the request
// (bytes_owner), so reads sent whole can be called later without a copy.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "ipc_tools/message_type.h"
#include "ipc_tools/wire_format.h"

namespace reference_server {

class ReceivedRequest {
public:
    // Never throws for any bytes: an unreadable frame gives a refusal.
    explicit ReceivedRequest(zmq::message_t&& frame);
    ReceivedRequest(const ReceivedRequest&) = delete;
    ReceivedRequest& operator=(const ReceivedRequest&) = delete;

    // Why the frame cannot be answered normally, for BAD_REQUEST; empty
    // when it is a readable message of a known kind.
    const std::string& refusal() const { return m_refusal; }

    ipc_tools::MessageType type() const { return m_type; }
    // The verified envelope; null when the frame was refused unread.
    const ipc_tools::wire::Envelope* envelope() const { return m_envelope; }

    // The envelope's client id and the Request body's value and text; empty
    // and 0 for other bodies.
    const std::string& client_id() const { return m_client_id; }
    std::int32_t value() const { return m_value; }
    const std::string& text() const { return m_text; }

    // Keeps the bytes the envelope points into alive while it is held.
    std::shared_ptr<const void> bytes_owner() const { return m_bytes; }

private:
    struct Bytes {
        zmq::message_t frame;
        // The frame's bytes when they are not 8-byte aligned in memory,
        // which FlatBuffers needs for reading scalars in place.
        std::vector<std::uint64_t> aligned_copy;
    };

    std::shared_ptr<Bytes> m_bytes;
    const ipc_tools::wire::Envelope* m_envelope = nullptr;
    ipc_tools::MessageType m_type = ipc_tools::MessageType::UNSET;
    std::string m_refusal;
    std::string m_client_id;
    std::int32_t m_value = 0;
    std::string m_text;
};

}  // namespace reference_server
