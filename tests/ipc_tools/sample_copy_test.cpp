#include "ipc_tools/sample_copy.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Every length around the piece size, at placements inside and outside the
// slow band, copies exactly its bytes and touches nothing beside them.
TEST(SampleCopyTest, CopiesExactlyTheBytesAtEveryPlacement) {
    const std::size_t lengths[] = {0, 1, 2047, 2048, 2049, 4096, 6143, 8000, 512000};
    const std::size_t distances[] = {0, 1, 2, 31, 63, 64, 2048, 4095, 4096 + 17};
    constexpr std::size_t guard = 64;
    std::vector<std::uint8_t> source(512000 + 8192);
    std::iota(source.begin(), source.end(), std::uint8_t{7});
    for (const std::size_t length : lengths) {
        for (const std::size_t distance : distances) {
            SCOPED_TRACE(testing::Message() << length << " bytes, destination " << distance << " above the source");
            std::vector<std::uint8_t> target(length + distance + 2 * guard + 4096, 0xEE);
            // Put the destination `distance` above the source modulo a page.
            const auto source_phase = reinterpret_cast<std::uintptr_t>(source.data() + guard) % 4096;
            const auto target_phase = reinterpret_cast<std::uintptr_t>(target.data() + guard) % 4096;
            const std::size_t shift = (source_phase + distance - target_phase + 8192) % 4096;
            std::uint8_t* out = target.data() + guard + shift;
            const std::uint8_t* in = source.data() + guard;
            EXPECT_EQ(ipc_tools::near_page_alias(out, in), distance % 4096 < 64);

            ipc_tools::copy_samples(out, in, length);
            EXPECT_TRUE(std::equal(out, out + length, in));
            for (std::uint8_t* p = target.data(); p < out; ++p) {
                ASSERT_EQ(*p, 0xEE) << "written before the destination";
            }
            for (std::uint8_t* p = out + length; p < target.data() + target.size(); ++p) {
                ASSERT_EQ(*p, 0xEE) << "written past the destination";
            }
        }
    }
}

}  // namespace
