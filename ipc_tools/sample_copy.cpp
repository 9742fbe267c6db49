#include "ipc_tools/sample_copy.h"

#include <algorithm>

namespace ipc_tools {

void copy_in_pieces(void* destination, const void* source, std::size_t bytes) noexcept {
    auto* out = static_cast<std::uint8_t*>(destination);
    const auto* in = static_cast<const std::uint8_t*>(source);
    for (std::size_t done = 0; done < bytes; done += sample_copy_piece_bytes) {
        std::size_t length = std::min(sample_copy_piece_bytes, bytes - done);
        // Knowing that a piece is at most sample_copy_piece_bytes long, the
        // compiler would copy it inline with a string move of its own (rep
        // movsq), just as slow at this placement. Hiding the bound keeps the
        // call to memcpy and its vector path.
        asm("" : "+r"(length));
        std::memcpy(out + done, in + done, length);
    }
}

}  // namespace ipc_tools
