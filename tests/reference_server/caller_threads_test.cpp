// The reference server calling reads on its caller thread while it answers:
// reads dropped with their client's state never come back, to it or to
// anyone else, and stopping does not wait for a queue of reads to call.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reference_server/model/basecaller.h"
#include "reference_server/read_client.h"
#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::MessageType;
using reference_server::ReferenceServer;
using test_support::ReadClient;
using test_support::Returned;
using test_support::simulated_read;

namespace {

// The stand-in basecaller behind a gate: each call waits for the gate to
// open, at most `hold` (a slow call), then calls.
class GatedCaller {
public:
    explicit GatedCaller(std::chrono::milliseconds hold) : m_hold(hold) {}

    reference_server::CallRead call_read() {
        return [this](const reference_server::ReceivedRead& read, const reference_server::CallerOptions& options) {
            ++m_entered;
            {
                std::unique_lock lock(m_mutex);
                m_opened.wait_for(lock, m_hold, [this] { return m_open; });
            }
            return reference_server::call_read(read, options);
        };
    }

    void open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_opened.notify_all();
    }

    int entered() const { return m_entered.load(); }

private:
    const std::chrono::milliseconds m_hold;
    std::atomic<int> m_entered{0};
    std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;  // guarded by m_mutex
};

// A reference server on default settings whose stand-in caller waits
// behind a gate, started on an endpoint of its own folder.
struct GatedServer {
    explicit GatedServer(std::chrono::milliseconds hold)
        : gate(hold), server(reference_server::default_settings(), gate.call_read()),
          endpoint(server.start(folder.ipc_endpoint())) {}

    test_support::TempDir folder;
    GatedCaller gate;
    ReferenceServer server;
    std::string endpoint;
};

std::uint32_t pending_of(ReferenceServer& server, const std::string& uid) {
    for (const auto& client : server.state().clients()) {
        if (client.client_uid == uid) {
            return client.reads_pending;
        }
    }
    return 0;
}

}  // namespace

TEST(CallerThreadsTest, ReadsBeingCalledWhenTheirClientIsDroppedNeverComeBack) {
    enum class Drop { disconnect, restart, lose_reads };
    const struct {
        const char* what;
        Drop drop;
    } rows[] = {{"DISCONNECT", Drop::disconnect}, {"restart", Drop::restart}, {"lost reads", Drop::lose_reads}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        GatedServer gated(std::chrono::seconds(10));
        auto& [folder, gate, server, endpoint] = gated;

        ReadClient first(endpoint);
        first.connect();
        const common::ReadHolder dropped_a = simulated_read(1, {"ACGTTGCAAC"});
        const common::ReadHolder dropped_b = simulated_read(2, {"TTGACCATGG"});
        ASSERT_EQ(first.push_batch({&dropped_a}), MessageType::BATCH_ACCEPTED);
        // One read under way on the caller thread, one waiting for it.
        ASSERT_TRUE(test_support::wait_until([&] { return gate.entered() == 1; }, "the first call to begin"));
        ASSERT_EQ(first.push_batch({&dropped_b}), MessageType::BATCH_ACCEPTED);
        EXPECT_EQ(pending_of(server, first.uid()), 2u);

        ReadClient second(endpoint);
        ReadClient* kept = &second;
        switch (row.drop) {
        case Drop::disconnect:
            ASSERT_EQ(first.raw().exchange(MessageType::DISCONNECT, first.uid()).get_type(), MessageType::DISCONNECTED);
            second.connect();
            break;
        case Drop::restart:
            server.faults().restart_now();
            ASSERT_TRUE(test_support::wait_until([&] { return server.state().client_count() == 0; }, "the restart"));
            second.connect();
            break;
        case Drop::lose_reads: {
            reference_server::FaultRule lose(MessageType::GET_FIRST_CALLED_BLOCK,
                                             reference_server::FaultAction::lose_reads);
            lose.count = 1;
            server.faults().add(lose);
            std::int32_t value = 0;
            MessageType kind = MessageType::UNSET;
            EXPECT_TRUE(first.pull_once(1, &kind, &value).empty());
            EXPECT_EQ(kind, MessageType::NONE_PENDING);
            EXPECT_EQ(value, 1);
            EXPECT_EQ(pending_of(server, first.uid()), 0u);
            kept = &first;
            break;
        }
        }
        const common::ReadHolder fresh = simulated_read(3, {"GGGATCCATA"});
        ASSERT_EQ(kept->push_batch({&fresh}), MessageType::BATCH_ACCEPTED);
        gate.open();

        // The read under way finishes before the fresh one on the one caller thread.
        const std::vector<Returned> results = kept->pull(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].read_tag, 3u);
        EXPECT_EQ(results[0].sequence, "GGGATCCATA");
        MessageType kind = MessageType::UNSET;
        EXPECT_TRUE(kept->pull_once(1, &kind).empty());
        EXPECT_EQ(kind, MessageType::NONE_PENDING);
        EXPECT_EQ(pending_of(server, kept->uid()), 0u);
        // The waiting read was dropped before it was called.
        EXPECT_EQ(gate.entered(), 2);
        server.stop();
    }
}

TEST(CallerThreadsTest, StopsWithoutCallingTheReadsStillQueued) {
    // Every call is slow; calling all the reads would take minutes.
    GatedServer gated(std::chrono::milliseconds(500));
    auto& [folder, gate, server, endpoint] = gated;
    ReadClient client(endpoint);
    client.connect();
    std::vector<common::ReadHolder> reads;
    for (std::uint64_t tag = 1; tag <= 400; ++tag) {
        reads.push_back(simulated_read(tag, {"ACGTACGTTT"}));
    }
    std::vector<const common::ReadHolder*> batch;
    for (const auto& read : reads) {
        batch.push_back(&read);
    }
    ASSERT_EQ(client.push_batch(batch), MessageType::BATCH_ACCEPTED);
    ASSERT_TRUE(test_support::wait_until([&] { return gate.entered() >= 1; }, "the first call to begin"));
    server.stop();
    // Only the call under way when stop came was waited for.
    EXPECT_LE(gate.entered(), 3);
}

TEST(CallerThreadsTest, KeepsPiecesBeforeTheirParentAndReadsInOrderAcrossCallerThreads) {
    test_support::TempDir folder;
    auto settings = reference_server::default_settings();
    settings.data_plane.caller_threads = 3;
    settings.data_plane.max_completed_batch = 4;
    ReferenceServer server(settings);
    const std::string endpoint = server.start(folder.ipc_endpoint());
    ReadClient client(endpoint);
    client.connect();
    std::vector<common::ReadHolder> reads;
    for (std::uint64_t tag = 1; tag <= 24; ++tag) {
        // Every third read is split by an open-pore gap into two pieces.
        if (tag % 3 == 0) {
            reads.push_back(simulated_read(
                tag, {test_support::test_sequence(tag, 60 + tag), test_support::test_sequence(tag + 100, 50)},
                {.gap = 60}));
        } else {
            reads.push_back(simulated_read(tag, {test_support::test_sequence(tag, 40 + 30 * (tag % 5))}));
        }
    }
    for (std::size_t i = 0; i < reads.size(); i += 4) {
        ASSERT_EQ(client.push_batch({&reads[i], &reads[i + 1], &reads[i + 2], &reads[i + 3]}),
                  MessageType::BATCH_ACCEPTED);
    }
    const std::vector<Returned> results = client.pull(reads.size() + 2 * (reads.size() / 3));
    std::vector<std::uint64_t> order;
    for (const Returned& result : results) {
        order.push_back(result.read_tag * 10 + result.sub_tag);
    }
    std::vector<std::uint64_t> expected;
    for (std::uint64_t tag = 1; tag <= 24; ++tag) {
        if (tag % 3 == 0) {
            expected.push_back(tag * 10 + 1);
            expected.push_back(tag * 10 + 2);
        }
        expected.push_back(tag * 10);
    }
    EXPECT_EQ(order, expected);
}
