#pragma once

// One wire message: its kind plus exclusive ownership of the ZeroMQ frame
// that holds its finished FlatBuffers buffer.
//
//   Message ping(MessageType::HEARTBEAT_PING, "0", 0, "");
//   zmq::message_t frame;
//   ping.release_into(frame);   // ping is now empty and UNSET
//
// A Message has no internal locking: one thread at a time builds, sends or
// reads it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "ipc_tools/message_type.h"

namespace zmq {
class message_t;
}

namespace ipc_tools {

namespace wire {
struct Envelope;
}

// Carried in the value of a QUERY request.
enum class QueryCode : std::int32_t {
    undefined = 0,       // never sent
    internal_state = 1,  // answered by a RESPONSE holding the server's state as JSON
};

class Message {
public:
    // UNSET, no frame.
    Message() noexcept;

    // A complete Request or Reply for every kind that carries no read data,
    // configuration list or statistics. An empty client id or text and a
    // value of 0 are left off the wire. Throws std::runtime_error for the
    // other kinds, before anything is built.
    Message(MessageType type, const std::string& client_id, std::int32_t value, const std::string& text);

    // A QUERY request with no client id. QueryCode::undefined is a contract
    // violation.
    explicit Message(QueryCode query_code);

    // Takes over the finished buffer of the builder without copying it; the
    // frame frees it once ZeroMQ is done with it. The buffer is trusted (it
    // was built here) and classified, not verified.
    explicit Message(flatbuffers::FlatBufferBuilder& builder);

    // Accepts a received frame. Shorter than 8 bytes: UNSET with no frame;
    // another file identifier: INVALID_PROTOCOL with no frame. Otherwise the
    // frame is moved in and classified; a buffer that fails verification
    // throws std::runtime_error "Invalid MessageData in Message.".
    explicit Message(zmq::message_t&& frame);

    // A copy owns a frame of its own with the same bytes.
    Message(const Message& other);
    Message& operator=(const Message& other);
    // The source is left UNSET and empty.
    Message(Message&& other) noexcept;
    Message& operator=(Message&& other) noexcept;
    ~Message();

    void swap(Message& other) noexcept;

    // A second Message over the same frame bytes, without copying them:
    // ZeroMQ counts the holders and frees the bytes with the last one. A
    // Message never changes its bytes, so either may be sent or read while
    // the other is kept.
    Message share() const;

    MessageType get_type() const noexcept { return m_type; }
    bool empty() const noexcept { return m_frame == nullptr; }

    // The verified root of the buffer, verified on the first call only (a
    // buffer built here is trusted); the view lives as long as this
    // Message is neither destroyed nor moved from. Throws std::runtime_error
    // "Invalid MessageData in Message." when the bytes are no valid buffer
    // of this protocol, or when there is no frame.
    const wire::Envelope& get_message_data() const;

    // Hands the frame to an outgoing ZeroMQ message and leaves this Message
    // UNSET and empty, so that it is sent at most once. An empty Message
    // gives an empty outgoing message.
    void release_into(zmq::message_t& outgoing);

private:
    MessageType m_type = MessageType::UNSET;
    std::unique_ptr<zmq::message_t> m_frame;
    // Made on first read when the frame's bytes are not 8-byte aligned, and
    // kept as long as the frame.
    mutable std::vector<std::uint64_t> m_aligned_copy;
    // The root once verified (or built here); it stays valid when the
    // Message moves, since the frame and the aligned copy stay in place.
    mutable const wire::Envelope* m_root = nullptr;
};

inline void swap(Message& a, Message& b) noexcept { a.swap(b); }

// The frame release_into would fill, for a caller that hands frames on by
// value.
zmq::message_t frame_of(Message message);

}  // namespace ipc_tools
