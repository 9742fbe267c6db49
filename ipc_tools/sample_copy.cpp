#include "ipc_tools/sample_copy.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ipc_tools {

namespace {

constexpr std::uintptr_t page_bytes = 4096;
constexpr std::uintptr_t cache_line_bytes = 64;
// Below the size from which glibc's memcpy turns to a string move (at least
// 2 KiB on every x86-64 it tunes for).
constexpr std::size_t piece_bytes = 2048;

}  // namespace

bool near_page_alias(const void* destination, const void* source) noexcept {
    const std::uintptr_t distance =
        reinterpret_cast<std::uintptr_t>(destination) - reinterpret_cast<std::uintptr_t>(source);
    return distance % page_bytes < cache_line_bytes;
}

void copy_samples(void* destination, const void* source, std::size_t bytes) noexcept {
    if (bytes <= piece_bytes || !near_page_alias(destination, source)) {
        std::memcpy(destination, source, bytes);
        return;
    }
    auto* out = static_cast<std::uint8_t*>(destination);
    const auto* in = static_cast<const std::uint8_t*>(source);
    for (std::size_t done = 0; done < bytes; done += piece_bytes) {
        std::size_t length = std::min(piece_bytes, bytes - done);
        // Knowing that a piece is at most piece_bytes long, the compiler
        // would copy it inline with a string move of its own (rep movsq),
        // just as slow at this placement. Hiding the bound keeps the call to
        // memcpy and its vector path.
        asm("" : "+r"(length));
        std::memcpy(out + done, in + done, length);
    }
}

}  // namespace ipc_tools
