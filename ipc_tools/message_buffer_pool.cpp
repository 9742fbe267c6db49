#include "ipc_tools/message_buffer_pool.h"

#include <algorithm>
#include <new>
#include <utility>

namespace ipc_tools {

namespace {

// Every buffer is preceded by its capacity, so that a buffer coming back
// tells how large it is whatever size the caller gives. The header keeps
// the buffer at the heap's alignment.
constexpr std::size_t header_size = alignof(std::max_align_t);
static_assert(header_size >= sizeof(std::size_t));

std::uint8_t* new_buffer(std::size_t capacity) {
    auto* raw = static_cast<std::uint8_t*>(::operator new(capacity + header_size));
    *reinterpret_cast<std::size_t*>(raw) = capacity;
    return raw + header_size;
}

std::size_t capacity_of(const std::uint8_t* buffer) {
    return *reinterpret_cast<const std::size_t*>(buffer - header_size);
}

void delete_buffer(std::uint8_t* buffer) { ::operator delete(buffer - header_size); }

}  // namespace

MessageBufferPool::~MessageBufferPool() {
    for (const Kept& kept : m_kept) {
        delete_buffer(kept.buffer);
    }
}

MessageBufferPool& MessageBufferPool::shared() {
    // Never destroyed: ZeroMQ may free a sent message's buffer as late as
    // the end of the process.
    static MessageBufferPool* const pool = new MessageBufferPool();
    return *pool;
}

std::uint8_t* MessageBufferPool::allocate(std::size_t size) {
    if (size >= pooled_size) {
        if (std::uint8_t* kept = take_kept(size)) {
            return kept;
        }
    }
    return new_buffer(size);
}

std::uint8_t* MessageBufferPool::take_kept(std::size_t size) {
    std::lock_guard lock(m_mutex);
    auto best = m_kept.end();
    for (auto kept = m_kept.begin(); kept != m_kept.end(); ++kept) {
        if (kept->capacity >= size && kept->capacity - size <= size / 16 &&
            (best == m_kept.end() || kept->capacity < best->capacity)) {
            best = kept;
        }
    }
    if (best == m_kept.end()) {
        return nullptr;
    }
    std::uint8_t* buffer = best->buffer;
    m_kept_bytes -= best->capacity;
    m_kept.erase(best);
    return buffer;
}

void MessageBufferPool::deallocate(std::uint8_t* buffer, std::size_t /*size*/) {
    if (buffer == nullptr) {
        return;
    }
    const std::size_t capacity = capacity_of(buffer);
    if (capacity < pooled_size) {
        delete_buffer(buffer);
        return;
    }
    std::vector<std::uint8_t*> given_back;
    {
        std::lock_guard lock(m_mutex);
        m_kept.push_back({buffer, capacity});
        m_kept_bytes += capacity;
        std::size_t oldest = 0;
        while (m_kept_bytes > max_kept_bytes) {
            given_back.push_back(m_kept[oldest].buffer);
            m_kept_bytes -= m_kept[oldest].capacity;
            ++oldest;
        }
        m_kept.erase(m_kept.begin(), m_kept.begin() + static_cast<std::ptrdiff_t>(oldest));
    }
    for (std::uint8_t* old : given_back) {
        delete_buffer(old);
    }
}

std::size_t MessageBufferPool::kept_bytes() const {
    std::lock_guard lock(m_mutex);
    return m_kept_bytes;
}

}  // namespace ipc_tools
