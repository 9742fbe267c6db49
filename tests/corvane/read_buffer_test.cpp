#include "corvane/read_buffer.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/utils/flag.h"
#include "ipc_tools/wire_format.h"
#include "support/raw_reads.h"
#include "support/wait_until.h"

namespace {

using common::ReadHolder;
using corvane::BufferQueueReadsResult;
using corvane::ReadBuffer;
using ipc_tools::MessageType;
using test_support::raw_read;
using test_support::wait_until;

constexpr auto long_wait = std::chrono::seconds(10);

// One queued unit as the worker would send it.
struct UnitView {
    std::string kind;                    // "raw" or "batch"
    std::vector<std::uint64_t> tags;     // per block (raw) or per read (batch)
    std::vector<std::uint64_t> samples;  // the same
    std::string client_id;

    bool operator==(const UnitView&) const = default;
};

std::ostream& operator<<(std::ostream& out, const UnitView& unit) {
    out << unit.kind << " [";
    for (std::size_t i = 0; i < unit.tags.size(); ++i) {
        out << (i ? " " : "") << unit.tags[i] << ":" << unit.samples[i];
    }
    return out << "] id '" << unit.client_id << "'";
}

UnitView view_front(ReadBuffer& buffer) {
    UnitView unit;
    for (const ipc_tools::Message& message : buffer.front_messages()) {
        const auto& envelope = message.get_message_data();
        unit.client_id = envelope.client_id() ? envelope.client_id()->str() : "";
        if (message.get_type() == MessageType::PASS_READ_BATCH) {
            unit.kind = "batch";
            for (const auto* block : *envelope.data_as_ReadBatch()->blocks()) {
                unit.tags.push_back(block->read_tag());
                unit.samples.push_back(block->samples()->size());
            }
        } else {
            unit.kind = "raw";
            const auto* block = envelope.data_as_ReadBlock();
            EXPECT_EQ(message.get_type(), block->block_index() == 0 ? MessageType::PASS_FIRST_RAW_BLOCK
                                                                    : MessageType::PASS_NEXT_RAW_BLOCK);
            unit.tags.push_back(block->read_tag());
            unit.samples.push_back(block->samples()->size());
        }
    }
    return unit;
}

// Takes every queued unit as if the server had accepted it.
std::vector<UnitView> submit_all(ReadBuffer& buffer) {
    std::vector<UnitView> units;
    while (buffer.num_queued_reads() > 0) {
        units.push_back(view_front(buffer));
        buffer.reads_submitted();
    }
    return units;
}

std::vector<std::uint64_t> tags_out(ReadBuffer& buffer) {
    std::vector<ReadHolder> out;
    buffer.get_reads_out(out);
    std::vector<std::uint64_t> tags;
    for (const ReadHolder& read : out) {
        tags.push_back(read.read_tag * 10 + read.sub_tag);
    }
    return tags;
}

std::unique_ptr<ReadBuffer> make_buffer(std::uint64_t max_units = 100) {
    auto buffer = std::make_unique<ReadBuffer>();
    buffer->set_max_input_queue_size(max_units);
    buffer->set_block_size(256000);
    buffer->set_max_read_failures(10);
    buffer->set_connection_id("c1");
    return buffer;
}

TEST(ReadBufferTest, GroupsReadsIntoUnitsAndSendsShortOnesStraightBack) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> durations;  // read i gets tag i + 1
        bool as_list;
        std::vector<UnitView> units;
        std::vector<std::uint64_t> out;  // tags * 10
    };
    const std::vector<Case> cases = {
        {"long read in three raw blocks", {600000}, false, {{"raw", {1, 1, 1}, {256000, 256000, 88000}, "c1"}}, {}},
        {"exactly one block", {256000}, false, {{"raw", {1}, {256000}, "c1"}}, {}},
        {"one sample past a block", {256001}, false, {{"raw", {1, 1}, {256000, 1}, "c1"}}, {}},
        {"99 is never sent, 100 is", {99, 100}, true, {{"batch", {2}, {100}, "c1"}}, {10}},
        {"lone read of a closed batch goes alone",
         {200000, 100000, 50000},
         true,
         {{"raw", {1}, {200000}, "c1"}, {"batch", {2, 3}, {100000, 50000}, "c1"}},
         {}},
        {"singles first, then batches, short ones out",
         {50, 300000, 1000, 2000, 60},
         true,
         {{"raw", {2, 2}, {256000, 44000}, "c1"}, {"batch", {3, 4}, {1000, 2000}, "c1"}},
         {10, 50}},
        {"single read of the last batch is still a batch", {100000}, true, {{"batch", {1}, {100000}, "c1"}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = make_buffer();
        std::vector<ReadHolder> reads;
        for (std::size_t i = 0; i < c.durations.size(); ++i) {
            reads.push_back(raw_read(i + 1, c.durations[i]));
        }
        if (c.as_list) {
            ASSERT_EQ(buffer->queue_reads(reads, 0), BufferQueueReadsResult::queued);
            EXPECT_TRUE(reads.empty());
        } else {
            for (ReadHolder& read : reads) {
                ASSERT_EQ(buffer->queue_read(read, 0), BufferQueueReadsResult::queued);
            }
        }
        EXPECT_EQ(tags_out(*buffer), c.out);
        std::uint64_t samples = 0;
        std::uint64_t sent = 0;
        for (const UnitView& unit : c.units) {
            sent += unit.kind == "batch" ? unit.tags.size() : 1;
            for (const std::uint64_t n : unit.samples) {
                samples += n;
            }
        }
        EXPECT_EQ(buffer->num_queued_reads(), sent);
        EXPECT_EQ(buffer->num_queued_samples(), samples);
        EXPECT_EQ(submit_all(*buffer), c.units);
        EXPECT_EQ(buffer->num_submitted_reads(), sent);
        EXPECT_EQ(buffer->num_queued_samples(), 0u);
    }
}

TEST(ReadBufferTest, RefusesWhenFullOrClosedAndLeavesTheReadsWithTheCaller) {
    auto buffer = make_buffer(2);
    for (std::uint64_t tag = 1; tag <= 2; ++tag) {
        ReadHolder read = raw_read(tag, 1000);
        ASSERT_EQ(buffer->queue_read(read, 0), BufferQueueReadsResult::queued);
    }
    ReadHolder read = raw_read(3, 1000);
    EXPECT_EQ(buffer->queue_read(read, 0), BufferQueueReadsResult::no_room);
    ASSERT_NE(read.metadata, nullptr);
    EXPECT_EQ(read.metadata->read_id, "read-3");

    std::vector<ReadHolder> reads;
    for (std::uint64_t tag = 4; tag <= 6; ++tag) {
        reads.push_back(raw_read(tag, tag == 5 ? 300000 : 1000));
    }
    EXPECT_EQ(buffer->queue_reads(reads, 20), BufferQueueReadsResult::no_room);
    ASSERT_EQ(reads.size(), 3u);
    std::uint64_t expected_tag = 4;
    for (const ReadHolder& back : reads) {
        EXPECT_EQ(back.read_tag, expected_tag++);
        ASSERT_NE(back.metadata, nullptr);
    }

    // One free unit lets a whole list in, even past the limit.
    buffer->reads_submitted();
    EXPECT_EQ(buffer->queue_reads(reads, 0), BufferQueueReadsResult::queued);
    EXPECT_TRUE(reads.empty());
    EXPECT_EQ(buffer->num_queued_reads(), 4u);

    buffer->set_no_more_data();
    EXPECT_EQ(buffer->queue_read(read, 1000), BufferQueueReadsResult::not_accepting);
    ReadHolder short_read = raw_read(9, 99);
    EXPECT_EQ(buffer->queue_read(short_read, 0), BufferQueueReadsResult::queued);
    EXPECT_EQ(tags_out(*buffer), (std::vector<std::uint64_t>{90}));

    auto failed = make_buffer();
    failed->set_error_state({corvane::ConnectionError::failed, "broken"});
    reads.clear();
    reads.push_back(raw_read(7, 1000));
    EXPECT_EQ(failed->queue_reads(reads, 0), BufferQueueReadsResult::not_accepting);
    EXPECT_EQ(reads.size(), 1u);
    EXPECT_EQ(failed->get_error_state().message, "broken");
}

// A queueing call waiting in a full buffer of one unit, on its own thread.
class WaitingCall {
public:
    explicit WaitingCall(ReadBuffer& buffer) {
        ReadHolder first = raw_read(1, 1000);
        EXPECT_EQ(buffer.queue_read(first, 0), BufferQueueReadsResult::queued);
        m_thread = std::thread([this, &buffer] {
            ReadHolder second = raw_read(2, 1000);
            m_result = static_cast<int>(buffer.testable_queue_read(second, 600000, &m_waiting));
        });
        // Signalled under the lock: once anyone else has the lock, the call
        // is inside its wait.
        EXPECT_TRUE(m_waiting.wait_until(std::chrono::steady_clock::now() + long_wait));
    }
    ~WaitingCall() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    int result() {
        m_thread.join();
        return m_result.load();
    }
    int result_so_far() const { return m_result.load(); }

private:
    tarvo::utils::concurrency::Flag m_waiting;
    std::atomic<int> m_result{-1};
    std::thread m_thread;
};

TEST(ReadBufferTest, AWaitingCallQueuesOnceTheWorkerTakesAUnit) {
    auto buffer = make_buffer(1);
    WaitingCall call(*buffer);
    EXPECT_EQ(call.result_so_far(), -1);
    buffer->reads_submitted();
    EXPECT_EQ(call.result(), static_cast<int>(BufferQueueReadsResult::queued));
    EXPECT_EQ(buffer->num_queued_reads(), 1u);
}

TEST(ReadBufferTest, DestructionWakesAWaitingCallAndWaitsForItToLeave) {
    auto buffer = make_buffer(1);
    WaitingCall call(*buffer);
    buffer.reset();
    EXPECT_EQ(call.result(), static_cast<int>(BufferQueueReadsResult::not_accepting));
}

TEST(ReadBufferTest, NewConnectionRequeuesSubmittedReadsFirstAllAsRawBlocks) {
    auto buffer = make_buffer();
    std::vector<ReadHolder> batch;
    batch.push_back(raw_read(1, 1000));
    batch.push_back(raw_read(2, 2000));
    ASSERT_EQ(buffer->queue_reads(batch, 0), BufferQueueReadsResult::queued);
    ReadHolder single = raw_read(3, 300000);
    ASSERT_EQ(buffer->queue_read(single, 0), BufferQueueReadsResult::queued);
    std::vector<ReadHolder> later;
    later.push_back(raw_read(4, 500));
    later.push_back(raw_read(5, 600));
    ASSERT_EQ(buffer->queue_reads(later, 0), BufferQueueReadsResult::queued);
    buffer->reads_submitted();  // the batch of 1 and 2

    buffer->set_connection_id("c2");
    EXPECT_EQ(buffer->num_submitted_reads(), 0u);
    EXPECT_EQ(buffer->num_queued_reads(), 5u);
    EXPECT_EQ(buffer->num_queued_samples(), 1000u + 2000u + 300000u + 500u + 600u);
    const std::vector<UnitView> expected = {
        {"raw", {1}, {1000}, "c2"},
        {"raw", {2}, {2000}, "c2"},
        {"raw", {3, 3}, {256000, 44000}, "c2"},
        {"raw", {4}, {500}, "c2"},
        {"raw", {5}, {600}, "c2"},
    };
    EXPECT_EQ(submit_all(*buffer), expected);
    EXPECT_TRUE(tags_out(*buffer).empty());
}

TEST(ReadBufferTest, TheEleventhResubmissionHandsEveryReadInFlightBack) {
    auto buffer = make_buffer();
    ReadHolder often = raw_read(1, 1000);
    ASSERT_EQ(buffer->queue_read(often, 0), BufferQueueReadsResult::queued);
    for (int resubmission = 1; resubmission <= 10; ++resubmission) {
        SCOPED_TRACE(resubmission);
        submit_all(*buffer);
        if (resubmission == 10) {
            ReadHolder newer = raw_read(2, 1000);  // in flight once only
            ASSERT_EQ(buffer->queue_read(newer, 0), BufferQueueReadsResult::queued);
            submit_all(*buffer);
        }
        buffer->set_connection_id("c" + std::to_string(resubmission + 1));
        ASSERT_EQ(buffer->num_queued_reads(), resubmission == 10 ? 2u : 1u);
        EXPECT_TRUE(tags_out(*buffer).empty());
    }
    ReadHolder queued = raw_read(3, 1000);
    ASSERT_EQ(buffer->queue_read(queued, 0), BufferQueueReadsResult::queued);
    buffer->reads_submitted();
    buffer->reads_submitted();
    buffer->set_connection_id("c12");
    EXPECT_EQ(tags_out(*buffer), (std::vector<std::uint64_t>{10, 20}));
    EXPECT_EQ(submit_all(*buffer), (std::vector<UnitView>{{"raw", {3}, {1000}, "c12"}}));

    // The counts start again: read 3 is resent ten more times.
    for (int resubmission = 1; resubmission <= 10; ++resubmission) {
        buffer->set_connection_id("d" + std::to_string(resubmission));
        ASSERT_EQ(submit_all(*buffer).size(), 1u);
    }
    EXPECT_TRUE(tags_out(*buffer).empty());
}

TEST(ReadBufferTest, PiecesFollowTheirParentAndNoPieceIsKeptForever) {
    auto buffer = make_buffer();
    for (std::uint64_t tag = 1; tag <= 3; ++tag) {
        ReadHolder read = raw_read(tag, 1000);
        ASSERT_EQ(buffer->queue_read(read, 0), BufferQueueReadsResult::queued);
    }
    submit_all(*buffer);
    ReadHolder* parent = buffer->find_submitted_read(1);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(buffer->find_submitted_read(9), nullptr);

    // Two pieces, then the parent: held back, then out right after it.
    ReadHolder* piece = buffer->add_sub_read(parent->derive_returned_read(2));
    EXPECT_EQ(buffer->add_sub_read(parent->derive_returned_read(2)), piece);
    buffer->add_sub_read(parent->derive_returned_read(1));
    buffer->sub_read_retrieved(1, 2);
    buffer->sub_read_retrieved(1, 1);
    EXPECT_TRUE(tags_out(*buffer).empty());
    buffer->read_retrieved(1);
    std::vector<std::uint64_t> out = tags_out(*buffer);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], 10u);
    EXPECT_EQ(std::set<std::uint64_t>(out.begin() + 1, out.end()), (std::set<std::uint64_t>{11, 12}));

    // A batch returning a parent before its piece: the late piece goes out
    // at once instead of waiting for a parent that has already left.
    buffer->add_sub_read(buffer->find_submitted_read(2)->derive_returned_read(1));
    buffer->reads_retrieved({{2, 0}, {2, 1}});
    EXPECT_EQ(tags_out(*buffer), (std::vector<std::uint64_t>{20, 21}));
    EXPECT_THROW(buffer->read_retrieved(2), std::out_of_range);

    // Reads the server has lost go back, with the pieces that completed.
    buffer->add_sub_read(buffer->find_submitted_read(3)->derive_returned_read(1));
    buffer->sub_read_retrieved(3, 1);
    buffer->clear_submitted_reads();
    EXPECT_EQ(tags_out(*buffer), (std::vector<std::uint64_t>{30, 31}));
    EXPECT_TRUE(buffer->all_reads_done());
}

// However a read goes out, the count says so and a collection takes it.
TEST(ReadBufferTest, EveryWayOutIsCountedAndCollected) {
    const std::vector<std::pair<void (*)(ReadBuffer&), std::vector<std::uint64_t>>> cases = {
        {[](ReadBuffer& b) { ReadHolder r = raw_read(3, 99); b.queue_read(r, 0); }, {30}},  // too short to send
        {[](ReadBuffer& b) { b.reads_retrieved({{2, 0}, {1, 0}}); }, {20, 10}},            // a returned batch
        {[](ReadBuffer& b) { b.hand_back_unfinished_reads(); }, {10, 20}},                  // the worker ended
    };
    for (const auto& [send_out, out] : cases) {
        SCOPED_TRACE(out.front());
        auto buffer = make_buffer();
        for (std::uint64_t tag : {1, 2}) {
            ReadHolder read = raw_read(tag, 1000);
            buffer->queue_read(read, 0);
        }
        submit_all(*buffer);
        send_out(*buffer);
        EXPECT_EQ(buffer->num_reads_out(), out.size());
        EXPECT_EQ(tags_out(*buffer), out);
        EXPECT_EQ(buffer->num_reads_out(), 0u);
    }
}

// Several application threads queue while the worker submits and returns
// and one thread collects: every read comes out exactly once.
TEST(ReadBufferTest, ManyThreadsQueueWhileOneCollects) {
    constexpr std::uint64_t threads = 4;
    constexpr std::uint64_t reads_per_thread = 150;
    auto buffer = make_buffer(3);
    buffer->set_block_size(5000);
    std::atomic<bool> queueing_done{false};

    std::vector<std::thread> producers;
    for (std::uint64_t t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            for (std::uint64_t i = 0; i < reads_per_thread; ++i) {
                const std::uint64_t tag = 1 + t * reads_per_thread + i;
                if (i % 3 == 0) {
                    std::vector<ReadHolder> list;
                    list.push_back(raw_read(tag, 50 + (i % 2) * 2000));
                    ASSERT_EQ(buffer->queue_reads(list, 60000), BufferQueueReadsResult::queued);
                } else {
                    ReadHolder read = raw_read(tag, 200 + i * 40);
                    ASSERT_EQ(buffer->queue_read(read, 60000), BufferQueueReadsResult::queued);
                }
            }
        });
    }
    std::thread worker([&] {
        std::vector<std::uint64_t> in_flight;
        while (!queueing_done || buffer->num_queued_reads() > 0 || !in_flight.empty()) {
            if (buffer->num_queued_reads() > 0) {
                const UnitView unit = view_front(*buffer);
                buffer->reads_submitted();
                in_flight.push_back(unit.tags.front());
                for (std::size_t i = 1; unit.kind == "batch" && i < unit.tags.size(); ++i) {
                    in_flight.push_back(unit.tags[i]);
                }
            }
            if (!in_flight.empty()) {
                buffer->read_retrieved(in_flight.back());
                in_flight.pop_back();
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::set<std::uint64_t> seen;
    std::uint64_t collected = 0;
    const auto collect = [&] {
        std::vector<ReadHolder> out;
        buffer->get_reads_out(out);
        for (const ReadHolder& read : out) {
            seen.insert(read.read_tag);
            ++collected;
        }
    };
    EXPECT_TRUE(wait_until(
        [&] {
            collect();
            return collected >= threads * reads_per_thread;
        },
        "every read to come out", std::chrono::seconds(60)));
    for (std::thread& producer : producers) {
        producer.join();
    }
    queueing_done = true;
    worker.join();
    collect();
    EXPECT_EQ(collected, threads * reads_per_thread);
    EXPECT_EQ(seen.size(), threads * reads_per_thread);
    EXPECT_TRUE(buffer->all_reads_done());
}

}  // namespace

// Records of reads that came back make room for the reads submitted after
// them: each later read is found whole under its own tag, and a tag that
// came back is found no more unless it is sent again.
TEST(ReadBufferTest, ReadsSubmittedAfterOthersCameBackAreFoundWhole) {
    struct Case {
        std::vector<std::uint64_t> first;  // submitted, then all returned
        std::vector<std::uint64_t> second;  // submitted after
    };
    const std::vector<Case> cases = {
        {{1, 2, 3}, {4, 5}},     // fewer than came back
        {{1}, {2, 3, 4}},        // more than came back
        {{1, 2}, {2, 1}},        // the same tags again
        {{7, 8, 9}, {9, 10, 11}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second.front());
        auto buffer = make_buffer();
        const auto submit = [&buffer](const std::vector<std::uint64_t>& tags) {
            for (std::uint64_t tag : tags) {
                ReadHolder read = raw_read(tag, 1000 + tag);
                ASSERT_EQ(buffer->queue_read(read, 0), BufferQueueReadsResult::queued);
            }
            submit_all(*buffer);
        };
        submit(c.first);
        std::vector<ReadBuffer::ReturnedKey> returned;
        std::vector<std::uint64_t> out;
        for (std::uint64_t tag : c.first) {
            returned.emplace_back(tag, 0);
            out.push_back(tag * 10);
        }
        buffer->reads_retrieved(returned);
        EXPECT_EQ(tags_out(*buffer), out);
        submit(c.second);
        EXPECT_EQ(buffer->num_submitted_reads(), c.second.size());
        for (std::uint64_t tag : c.first) {
            const bool again = std::find(c.second.begin(), c.second.end(), tag) != c.second.end();
            EXPECT_EQ(buffer->find_submitted_read(tag) != nullptr, again) << tag;
        }
        for (std::uint64_t tag : c.second) {
            const ReadHolder* read = buffer->find_submitted_read(tag);
            ASSERT_NE(read, nullptr) << tag;
            EXPECT_EQ(read->read_tag, tag);
            ASSERT_NE(read->metadata, nullptr);
            EXPECT_EQ(read->metadata->read_id, "read-" + std::to_string(tag));
            EXPECT_EQ(read->metadata->duration, 1000 + tag);
        }
    }
}
