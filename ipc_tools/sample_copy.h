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

namespace ipc_tools {

// True when destination lies less than a cache line above source modulo a
// 4 KiB page: the placement that makes a string move slow.
bool near_page_alias(const void* destination, const void* source) noexcept;

// memcpy(destination, source, bytes), in pieces below memcpy's string-move
// size where the placement is near_page_alias. The ranges may not overlap.
void copy_samples(void* destination, const void* source, std::size_t bytes) noexcept;

}  // namespace ipc_tools
