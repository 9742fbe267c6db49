#include "ipc_tools/message_buffer_pool.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/wire_format.h"
#include "support/raw_reads.h"

namespace {

using ipc_tools::MessageBufferPool;

constexpr std::size_t large = 512 * 1024;

// Which freed buffer a later request is given: the one kept when it is
// large and at most a sixteenth larger than the request, a fresh one
// otherwise.
TEST(MessageBufferPoolTest, GivesAKeptBufferOnlyToARequestOfAboutItsSize) {
    struct Case {
        const char* what;
        std::size_t freed;
        std::size_t requested;
        bool reused;
    };
    const Case cases[] = {
        {"the same size", large, large, true},
        {"a little smaller", large, large - 4000, true},
        {"a sixteenth smaller", large, large - large / 17, true},
        {"an eighth smaller", large, large - large / 9, false},
        {"much smaller", large, large / 2, false},
        {"larger", large, large + 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MessageBufferPool pool;
        std::uint8_t* first = pool.allocate(c.freed);
        std::memset(first, 0x5A, c.freed);
        pool.deallocate(first, c.freed);
        EXPECT_EQ(pool.kept_bytes(), c.freed);
        std::uint8_t* second = pool.allocate(c.requested);
        std::memset(second, 0xA5, c.requested);  // the whole request is usable
        EXPECT_EQ(second == first, c.reused);
        pool.deallocate(second, c.requested);
    }
}

// Small buffers go back to the heap: the pool keeps nothing of them.
TEST(MessageBufferPoolTest, KeepsNoBufferBelowThePooledSize) {
    MessageBufferPool pool;
    const std::size_t size = MessageBufferPool::pooled_size - 1;
    std::uint8_t* buffer = pool.allocate(size);
    std::memset(buffer, 0x5A, size);
    pool.deallocate(buffer, size);
    EXPECT_EQ(pool.kept_bytes(), 0u);
}

TEST(MessageBufferPoolTest, KeepsAtMostItsLimitGivingBackTheOldestFirst) {
    MessageBufferPool pool;
    const std::size_t count = MessageBufferPool::max_kept_bytes / large + 3;
    std::vector<std::uint8_t*> buffers;
    for (std::size_t i = 0; i < count; ++i) {
        buffers.push_back(pool.allocate(large));
    }
    for (std::uint8_t* buffer : buffers) {
        pool.deallocate(buffer, large);
    }
    EXPECT_LE(pool.kept_bytes(), MessageBufferPool::max_kept_bytes);
    // The newest buffer is still kept, and a request takes it back.
    std::uint8_t* again = pool.allocate(large);
    EXPECT_NE(std::find(buffers.begin() + 3, buffers.end(), again), buffers.end());
    pool.deallocate(again, large);
}

// Messages are built on application threads and freed on ZeroMQ's: many
// threads taking and giving back buffers at once lose none and share none.
TEST(MessageBufferPoolTest, ServesManyThreadsAtOnce) {
    MessageBufferPool pool;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < 200; ++i) {
                const std::size_t size = large - static_cast<std::size_t>((t * 200 + i) % 5000);
                std::uint8_t* buffer = pool.allocate(size);
                const auto mark = static_cast<std::uint8_t>(t + 1);
                std::memset(buffer, mark, size);
                for (std::size_t at = 0; at < size; at += 4096) {
                    ASSERT_EQ(buffer[at], mark) << "a buffer given to two threads at once";
                }
                pool.deallocate(buffer, size);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_LE(pool.kept_bytes(), MessageBufferPool::max_kept_bytes);
}

// A message built in a kept buffer carries the same bytes as one built in a
// fresh one, though the kept buffer still holds an earlier message.
TEST(MessageBufferPoolTest, AMessageInAKeptBufferIsTheSameMessage) {
    MessageBufferPool pool;
    const common::ReadHolder first = test_support::raw_read(1, 200000);
    const common::ReadHolder second = test_support::raw_read(2, 199000);
    {
        std::vector<ipc_tools::Message> earlier = ipc_tools::make_raw_block_messages(first, "client-1", 200000, &pool);
    }
    ASSERT_GT(pool.kept_bytes(), 0u);
    std::vector<ipc_tools::Message> pooled = ipc_tools::make_raw_block_messages(second, "client-1", 200000, &pool);
    std::vector<ipc_tools::Message> fresh = ipc_tools::make_raw_block_messages(second, "client-1", 200000);
    EXPECT_EQ(pool.kept_bytes(), 0u) << "the kept buffer was not used";
    ASSERT_EQ(pooled.size(), fresh.size());
    // Where the samples sit depends on the buffer's address, so the bytes
    // may differ in padding; what the server reads must not.
    for (std::size_t i = 0; i < pooled.size(); ++i) {
        zmq::message_t a;
        zmq::message_t b;
        pooled[i].release_into(a);
        fresh[i].release_into(b);
        const ipc_tools::Message got(zmq::message_t(a.data(), a.size()));
        const ipc_tools::Message want(zmq::message_t(b.data(), b.size()));
        ASSERT_EQ(got.get_type(), want.get_type());
        const auto* x = got.get_message_data().data_as_ReadBlock();
        const auto* y = want.get_message_data().data_as_ReadBlock();
        ASSERT_NE(x, nullptr);
        ASSERT_NE(y, nullptr);
        EXPECT_EQ(x->read_tag(), y->read_tag());
        EXPECT_EQ(x->read_id()->str(), y->read_id()->str());
        EXPECT_EQ(x->block_index(), y->block_index());
        EXPECT_EQ(x->duration(), y->duration());
        ASSERT_EQ(x->samples()->size(), y->samples()->size());
        EXPECT_EQ(std::memcmp(x->samples()->data(), y->samples()->data(), x->samples()->size() * sizeof(std::int16_t)),
                  0);
    }
}

}  // namespace
