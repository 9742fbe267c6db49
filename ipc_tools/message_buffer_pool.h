#pragma once

// Where the buffers of large outgoing messages come from.
//
//   flatbuffers::FlatBufferBuilder builder(size, &MessageBufferPool::shared());
//
// A message carrying a read's samples takes a buffer of hundreds of
// kilobytes. From the heap, such a buffer is mapped afresh for almost every
// message (the allocator hands large blocks back to the system when they
// are freed, more so when another thread frees them, as ZeroMQ does once a
// message is sent), and writing the samples into it then takes a page fault
// for every few pages: that costs more than the copy itself. The pool keeps
// the buffers of sent messages and gives them to the next messages of
// about the same size, so that their pages are mapped once.
//
// Buffers below pooled_size come from the heap and go back to it. A kept
// buffer serves a request it exceeds by at most a sixteenth, so that a
// queued read with its messages still holds little more than twice its
// samples. The pool keeps at most max_kept_bytes, giving back the
// longest-kept buffers first.
//
// Any thread: messages are built on application threads and freed on
// ZeroMQ's. The shared pool lives as long as the process, so a buffer may
// be freed at any time, also while the process ends.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include <flatbuffers/flatbuffers.h>

namespace ipc_tools {

class MessageBufferPool : public flatbuffers::Allocator {
public:
    static constexpr std::size_t pooled_size = 128 * 1024;
    static constexpr std::size_t max_kept_bytes = 32 * 1024 * 1024;

    MessageBufferPool() = default;
    ~MessageBufferPool() override;
    MessageBufferPool(const MessageBufferPool&) = delete;
    MessageBufferPool& operator=(const MessageBufferPool&) = delete;

    // The pool every message builder of the library uses; never destroyed.
    static MessageBufferPool& shared();

    std::uint8_t* allocate(std::size_t size) override;
    void deallocate(std::uint8_t* buffer, std::size_t size) override;

    // Bytes held for later messages.
    std::size_t kept_bytes() const;

private:
    struct Kept {
        std::uint8_t* buffer = nullptr;
        std::size_t capacity = 0;
    };

    std::uint8_t* take_kept(std::size_t size);

    mutable std::mutex m_mutex;
    std::vector<Kept> m_kept;      // guarded by m_mutex; the longest-kept first
    std::size_t m_kept_bytes = 0;  // guarded by m_mutex
};

}  // namespace ipc_tools
