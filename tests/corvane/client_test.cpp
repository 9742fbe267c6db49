// The client engine against the reference server over ipc://: every read
// passed in comes back exactly once, also across server restarts; reads
// taken back too often come back without results; the end of the work and
// refused reads after it.

#include "corvane/client.h"

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/logger.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/dataset.h"
#include "reference_server/protocol/reference_server.h"
#include "reference_server/model/signal_model.h"
#include "support/held_log_line.h"
#include "support/raw_reads.h"
#include "support/connection_info.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using corvane::Client;
using corvane::ClientQueueReadsResult;
using corvane::ClientStatus;
using ipc_tools::MessageType;
namespace dw = vesk::data_wrappers::v2;

namespace {

constexpr unsigned int query_timeout_ms = 500;

// A read of `samples` samples (a multiple of the model's 5 per base) whose
// signal the reference server calls back into one whole read.
common::ReadHolder make_read(std::uint64_t tag, std::size_t samples) {
    static const char bases[] = "ACGT";
    std::string sequence(samples / 5, 'A');
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        sequence[i] = bases[(i * 7 + tag + i / 3) % 4];
    }
    common::ReadHolder read = test_support::raw_read(tag, 0);
    read.datasets[dw::raw_data] =
        dw::DataSetData(reference_server::simulate_signal(sequence, {}, reference_server::seed_of(read.metadata->read_id)));
    read.metadata->strand_id = read.metadata->read_id;
    read.metadata->duration = samples;
    return read;
}

ipc_tools::ConnectionInfo basic_info() { return test_support::fast_dna_info("engine_test"); }

// What came back, by tag: how often, and how often with a called sequence.
struct Returned {
    std::map<std::uint64_t, int> count;
    std::map<std::uint64_t, int> with_results;
    std::size_t total = 0;

    void add(std::vector<common::ReadHolder>& reads) {
        for (auto& read : reads) {
            if (read.sub_tag != 0) {
                continue;  // a piece of a split read; its parent counts
            }
            ++count[read.read_tag];
            if (read.datasets.count(dw::sequence) != 0) {
                ++with_results[read.read_tag];
            }
            ++total;
        }
        reads.clear();
    }
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        common::logging::initialise_logging();
        m_endpoint = m_server.start(m_folder.ipc_endpoint());
    }

    std::unique_ptr<Client> connected(std::uint64_t block_size = 256000, std::uint64_t max_failures = 10) {
        auto client = std::make_unique<Client>(block_size, 4, max_failures, false, nullptr);
        client->set_reconnect_timeout(20);
        client->connect(m_endpoint, query_timeout_ms, 5, basic_info());
        EXPECT_EQ(client->connection_state().get_status(), ClientStatus::connected)
            << client->connection_state().get_error();
        return client;
    }

    // Passes every read, waiting out a full queue, while collecting; then
    // collects until `expected` reads came back.
    Returned pass_and_collect(Client& client, std::vector<common::ReadHolder> reads, std::size_t expected) {
        Returned returned;
        std::vector<common::ReadHolder> out;
        for (auto& read : reads) {
            EXPECT_TRUE(test_support::wait_until(
                [&] {
                    client.get_completed_reads(out);
                    returned.add(out);
                    return client.pass_read(read, 20) == ClientQueueReadsResult::queued;
                },
                "room for read " + std::to_string(read.read_tag), std::chrono::seconds(30)));
        }
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                client.get_completed_reads(out);
                returned.add(out);
                return returned.total >= expected;
            },
            "every read back", std::chrono::seconds(30)));
        return returned;
    }

    test_support::TempDir m_folder;
    reference_server::ReferenceServer m_server;
    std::string m_endpoint;
};

std::vector<common::ReadHolder> reads_of_sizes(const std::vector<std::size_t>& sizes) {
    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        reads.push_back(make_read(i + 1, sizes[i]));
    }
    return reads;
}

}  // namespace

TEST_F(ClientTest, EveryReadComesBackOnceWithItsResults) {
    const struct {
        const char* what;
        std::uint64_t block_size;
        std::vector<std::size_t> sizes;
    } rows[] = {
        {"single reads", 256000, std::vector<std::size_t>(12, 4000)},
        {"long reads in raw blocks", 10000, {25000, 10000, 10005, 30000}},
        {"mixed, with a read too short to send", 8000, {95, 3000, 20000, 100, 7995, 8000, 8005}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto client = connected(row.block_size);
        const auto returned = pass_and_collect(*client, reads_of_sizes(row.sizes), row.sizes.size());
        EXPECT_EQ(returned.total, row.sizes.size());
        for (std::size_t i = 0; i < row.sizes.size(); ++i) {
            SCOPED_TRACE(i + 1);
            EXPECT_EQ(returned.count.count(i + 1) ? returned.count.at(i + 1) : 0, 1);
            const int with_results = returned.with_results.count(i + 1) ? returned.with_results.at(i + 1) : 0;
            EXPECT_EQ(with_results, row.sizes[i] > 99 ? 1 : 0);
        }
        EXPECT_TRUE(client->finish_by(0));
        EXPECT_EQ(client->connection_state().get_status(), ClientStatus::disconnected);
    }
}

TEST_F(ClientTest, ReadsInFlightAreResentAfterTheServerRestarts) {
    auto client = connected();
    const std::size_t count = 30;
    // Restarts during the stream: each forgets every client and its reads.
    m_server.faults().restart_after(12);
    std::atomic<bool> done{false};
    std::thread restarts([&] {
        std::uint64_t next = 40;
        while (!done.load()) {
            if (m_server.requests_answered() > next) {
                m_server.faults().restart_after(9);
                next += 40;
            }
            // Paces the fault driver only; nothing waits on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto returned = pass_and_collect(*client, reads_of_sizes(std::vector<std::size_t>(count, 3000)), count);
    done = true;
    restarts.join();
    EXPECT_EQ(returned.total, count);
    for (std::uint64_t tag = 1; tag <= count; ++tag) {
        EXPECT_EQ(returned.count.count(tag) ? returned.count.at(tag) : 0, 1) << tag;
        EXPECT_EQ(returned.with_results.count(tag) ? returned.with_results.at(tag) : 0, 1) << tag;
    }
    EXPECT_TRUE(client->finish_by(10));
}

// With no resend allowed, the first reconnection hands every read in
// flight back without results. The server stalls the first pull past the
// query timeout, so the batch pushed before it is in flight then.
TEST_F(ClientTest, ReadsTakenBackTooOftenComeBackWithoutResults) {
    auto client = connected(256000, 0);
    m_server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, reference_server::FaultAction::delay,
                           MessageType::UNSET, "", 6 * query_timeout_ms, 1});
    std::vector<common::ReadHolder> batch;
    for (auto& read : reads_of_sizes({2000, 2000, 2000})) {
        batch.push_back(std::move(read));
    }
    ASSERT_EQ(client->pass_reads(batch, 1000), ClientQueueReadsResult::queued);
    const auto returned = pass_and_collect(*client, {}, 3);
    EXPECT_EQ(returned.total, 3u);
    EXPECT_TRUE(returned.with_results.empty());
    EXPECT_TRUE(client->finish_by(10));
}

// An application that gets the reads a failed worker handed back sees the
// error at the same time, never a client that still looks connected: that
// is how it tells reads lost to a failure from reads the server called
// without results. The worker is held in the middle of its end, at its
// warning about the reads it handed back.
TEST_F(ClientTest, ReadsHandedBackByAFailedWorkerComeWithItsError) {
    auto client = connected();
    test_support::HeldLogLine held("handed back without results");
    std::vector<common::ReadHolder> batch;
    for (auto& read : reads_of_sizes({2000, 2000, 2000})) {
        batch.push_back(std::move(read));
    }
    // Every pull finds nothing until the reply the pull cannot take, which
    // ends the worker with an error while the reads are in flight.
    m_server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, reference_server::FaultAction::reply,
                           MessageType::NONE_PENDING, "", 0, 0});
    ASSERT_EQ(client->pass_reads(batch, 1000), ClientQueueReadsResult::queued);
    ASSERT_TRUE(test_support::wait_until([&] { return client->num_buffered_samples() == 0; }, "the submission"));
    m_server.faults().clear();
    m_server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, reference_server::FaultAction::reply,
                           MessageType::SUCCESS, "", 0, 1});
    std::vector<common::ReadHolder> out;
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            client->get_completed_reads(out);
            return !out.empty();
        },
        "the reads handed back"));
    EXPECT_EQ(client->connection_state().get_status(), ClientStatus::error);
    EXPECT_NE(client->connection_state().get_error().code, corvane::ConnectionError::no_error);
    held.release();
    Returned returned;
    returned.add(out);
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            client->get_completed_reads(out);
            returned.add(out);
            return returned.total == 3;
        },
        "every read back"));
    EXPECT_TRUE(returned.with_results.empty());
    client->disconnect();  // the worker's last records are logged before the held line goes
}

TEST_F(ClientTest, TheEndOfTheWorkRefusesLaterReads) {
    const struct {
        const char* what;
        bool by_finish;
    } rows[] = {{"after finish_by", true}, {"after disconnect", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto client = connected();
        if (row.by_finish) {
            EXPECT_TRUE(client->finish_by(0));
        } else {
            client->disconnect();
        }
        EXPECT_EQ(client->connection_state().get_status(), ClientStatus::disconnected);
        auto read = make_read(1, 1000);
        EXPECT_EQ(client->pass_read(read, 0), ClientQueueReadsResult::not_accepting);
        EXPECT_EQ(read.metadata->read_id, "read-1");  // still the caller's
    }
}

// Results never come: finish_by(1) gives up after its eleventh step of
// 100 ms and still ends the worker.
TEST_F(ClientTest, FinishGivesUpAfterItsTimeoutAndStillEndsTheWorker) {
    auto client = connected();
    m_server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, reference_server::FaultAction::reply,
                           MessageType::NONE_PENDING, "", 0, 0});
    auto read = make_read(1, 2000);
    ASSERT_EQ(client->pass_read(read, 1000), ClientQueueReadsResult::queued);
    EXPECT_FALSE(client->finish_by(1));
    EXPECT_EQ(client->connection_state().get_status(), ClientStatus::disconnected);
}

TEST_F(ClientTest, SeveralThreadsPassWhileOneCollects) {
    auto client = connected();
    const std::size_t per_thread = 15;
    std::vector<std::thread> passers;
    std::atomic<int> refused{0};
    for (std::uint64_t t = 0; t < 3; ++t) {
        passers.emplace_back([&, t] {
            for (std::uint64_t i = 0; i < per_thread; ++i) {
                auto read = make_read(t * 1000 + i + 1, 1500);
                if (!test_support::wait_until(
                        [&] { return client->pass_read(read, 20) == ClientQueueReadsResult::queued; }, "room",
                        std::chrono::seconds(30))) {
                    ++refused;
                }
            }
        });
    }
    Returned returned;
    std::vector<common::ReadHolder> out;
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            client->get_completed_reads(out);
            returned.add(out);
            return returned.total >= 3 * per_thread;
        },
        "every read back", std::chrono::seconds(30)));
    for (auto& passer : passers) {
        passer.join();
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(returned.total, 3 * per_thread);
    EXPECT_EQ(returned.count.size(), 3 * per_thread);
    EXPECT_TRUE(client->finish_by(0));
}

// Tags the wire cannot tell apart are refused at the door, before the
// server ever sees them; a server that names one read twice in a returned
// batch still gets it back once (the second name must not touch the read
// that left on the first: run under AddressSanitizer).
TEST_F(ClientTest, BadTagsAreRefusedAndEveryReadComesBackOnce) {
    using reference_server::FaultAction;
    using reference_server::FaultRule;
    constexpr std::uint64_t beyond_32_bits = (std::uint64_t{1} << 32) + 1;
    struct Pass {
        std::vector<std::uint64_t> tags;  // one: pass_read; more: pass_reads
        ClientQueueReadsResult expected;
        bool once_submitted = false;      // wait first until nothing is queued
    };
    const struct {
        const char* what;
        std::vector<FaultRule> faults;
        bool faults_until_passed;  // cleared after the passes
        std::vector<Pass> passes;
    } rows[] = {
        {"a tag beyond 32 bits", {}, false,
         {{{beyond_32_bits}, ClientQueueReadsResult::bad_read},
          {{1, beyond_32_bits << 1}, ClientQueueReadsResult::bad_read},
          {{1}, ClientQueueReadsResult::queued}}},
        {"the tag of a queued read",
         {{MessageType::PASS_FIRST_RAW_BLOCK, FaultAction::reply, MessageType::NOT_READY}}, true,
         {{{1}, ClientQueueReadsResult::queued},
          {{1}, ClientQueueReadsResult::bad_read},
          {{2, 1}, ClientQueueReadsResult::bad_read}}},
        {"the tag of a submitted read",
         {{MessageType::PASS_FIRST_RAW_BLOCK, FaultAction::slow_calling, MessageType::UNSET, "", 2000, 1}}, false,
         {{{1}, ClientQueueReadsResult::queued},
          {{1}, ClientQueueReadsResult::bad_read, true},
          {{2}, ClientQueueReadsResult::queued}}},
        {"two reads of one list under one tag", {}, false,
         {{{3, 4, 3}, ClientQueueReadsResult::bad_read}, {{3, 4}, ClientQueueReadsResult::queued}}},
        {"a returned batch naming one read twice",
         {{MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::repeat_in_batch, MessageType::UNSET}}, false,
         {{{1, 2, 3}, ClientQueueReadsResult::queued}, {{4}, ClientQueueReadsResult::queued}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_server.faults().clear();
        auto client = connected();
        for (const FaultRule& fault : row.faults) {
            m_server.faults().add(fault);
        }
        std::set<std::uint64_t> accepted;
        for (const Pass& pass : row.passes) {
            SCOPED_TRACE("pass of " + std::to_string(pass.tags.size()) + " from tag " + std::to_string(pass.tags[0]));
            if (pass.once_submitted) {
                ASSERT_TRUE(test_support::wait_until([&] { return client->num_buffered_samples() == 0; },
                                                     "the read's submission"));
            }
            std::vector<common::ReadHolder> reads;
            for (const std::uint64_t tag : pass.tags) {
                reads.push_back(make_read(tag, 1000));
            }
            ClientQueueReadsResult result;
            if (reads.size() == 1) {
                result = client->pass_read(reads.front(), 1000);
                if (result == ClientQueueReadsResult::queued) {
                    reads.clear();
                }
            } else {
                result = client->pass_reads(reads, 1000);
            }
            ASSERT_EQ(result, pass.expected);
            if (result == ClientQueueReadsResult::queued) {
                accepted.insert(pass.tags.begin(), pass.tags.end());
            } else {
                // Still the caller's, every one of them.
                ASSERT_EQ(reads.size(), pass.tags.size());
                EXPECT_NE(reads.front().metadata, nullptr);
            }
        }
        if (row.faults_until_passed) {
            m_server.faults().clear();
        }
        const auto returned = pass_and_collect(*client, {}, accepted.size());
        EXPECT_EQ(returned.total, accepted.size());
        for (const std::uint64_t tag : accepted) {
            EXPECT_EQ(returned.with_results.count(tag) ? returned.with_results.at(tag) : 0, 1) << tag;
        }
        EXPECT_TRUE(client->finish_by(10));
        EXPECT_EQ(client->connection_state().get_status(), ClientStatus::disconnected)
            << client->connection_state().get_error();
    }
}
