#pragma once

// The copy of a read's samples into an outgoing message.
//
//   copy_samples(destination, signal.data(), sample_count * sizeof(std::int16_t));
//
// memcpy moves mid-sized and large blocks with a string move. On some CPUs
// (seen on AMD Zen 3) that runs ten to twenty times slower when the
// destination lies a few bytes above the source modulo a 4 KiB page, as if
// every store aliased the loads just ahead of it. Where a message's samples
// land is down to the lengths of everything built before them, so about one
// copy in a hundred would take that path. Small pieces stay on the vector
// path, which runs at full speed whatever the placement.
//
// Pure functions; any thread.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ipc_tools {

// Below the size from which glibc's memcpy turns to a string move (at least
// 2 KiB on every x86-64 it tunes for).
inline constexpr std::size_t sample_copy_piece_bytes = 2048;

// True when destination lies less than a cache line above source modulo a
// 4 KiB page: the placement that makes a string move slow.
inline bool near_page_alias(const void* destination, const void* source) noexcept {
    constexpr std::uintptr_t page_bytes = 4096;
    constexpr std::uintptr_t cache_line_bytes = 64;
    const std::uintptr_t distance =
        reinterpret_cast<std::uintptr_t>(destination) - reinterpret_cast<std::uintptr_t>(source);
    return distance % page_bytes < cache_line_bytes;
}

// memcpy in pieces of sample_copy_piece_bytes at most.
void copy_in_pieces(void* destination, const void* source, std::size_t bytes) noexcept;

// memcpy(destination, source, bytes), in pieces below memcpy's string-move
// size where the placement is near_page_alias. The ranges may not overlap.
// Inline, as a message copies the samples of dozens of short reads.
inline void copy_samples(void* destination, const void* source, std::size_t bytes) noexcept {
    if (bytes <= sample_copy_piece_bytes || !near_page_alias(destination, source)) {
        std::memcpy(destination, source, bytes);
    } else {
        copy_in_pieces(destination, source, bytes);
    }
}

}  // namespace ipc_tools
