// The public client against the reference server over ipc://: parameters
// and their types, answers without an engine, refusals, connecting and
// disconnecting, reconnection after a server restart, prompt stops, and a
// state change handler that calls back into its client.

#include "apps/client/corvane.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "common/read_model/read_holder.h"
#include "data_wrappers/dataset.h"
#include "reference_server/model/signal_model.h"
#include "reference_server/protocol/reference_server.h"
#include "support/chaos_run.h"
#include "support/held_log_line.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using apps::ConnectionStatus;
using apps::Corvane;
using apps::PassReadResult;
using apps::Result;
using Metadata = vesk::data_wrappers::v3::Metadata;

namespace {

constexpr std::chrono::seconds stop_deadline(10);

// Short waits, so that failures of the server show in seconds.
Metadata quick_params() {
    Metadata params;
    params.set<std::uint32_t>("query_timeout", 300);
    params.set<std::uint32_t>("reconnect_timeout", 2);
    return params;
}

rapidjson::Document internal_state(Corvane& client) {
    rapidjson::Document document;
    document.Parse(client.get_internal_state().c_str());
    return document;
}

apps::Read valid_read(unsigned long long tag, std::size_t samples) {
    apps::Read read;
    read.set_read_tag(tag);
    auto& holder = read.get_readholder();
    holder.datasets.emplace(vesk::data_wrappers::v2::raw_data,
                            vesk::data_wrappers::v2::DataSetData(std::vector<std::int16_t>(samples, 7)));
    holder.metadata->read_id = "read-" + std::to_string(tag);
    holder.metadata->daq_offset = 1.0f;
    holder.metadata->daq_scaling = 0.5f;
    holder.metadata->sampling_rate = 4000.0f;
    holder.metadata->start_time = 10;
    return read;
}

reference_server::ServerSettings slow_config_settings() {
    auto settings = reference_server::default_settings();
    settings.configurations[0].load_delay_ms = 600000;
    return settings;
}

class CorvaneTest : public ::testing::Test {
protected:
    void SetUp() override { m_endpoint = m_server.start(m_folder.ipc_endpoint()); }

    std::unique_ptr<Corvane> connected_client(Metadata params = quick_params()) {
        auto client = std::make_unique<Corvane>(m_endpoint, "ref_dna_fast");
        EXPECT_EQ(client->set_params(params), Result::success);
        EXPECT_EQ(client->connect(), Result::success) << client->get_error_message();
        return client;
    }

    test_support::TempDir m_folder;
    reference_server::ReferenceServer m_server;
    std::string m_endpoint;
};

}  // namespace

TEST(CorvaneParametersTest, KnownKeysTakeOnlyTheirOwnValueType) {
    struct Row {
        const char* what;
        void (*set)(Metadata&);
        const char* state_key;
        std::uint64_t expected;
    };
    const Row rows[] = {
        {"default query timeout", [](Metadata&) {}, "m_timeout", 2000},
        {"query timeout", [](Metadata& p) { p.set<std::uint32_t>("query_timeout", 700); }, "m_timeout", 700},
        {"query timeout as text", [](Metadata& p) { p.set("query_timeout", "700"); }, "m_timeout", 2000},
        {"query timeout as 64 bits", [](Metadata& p) { p.set<std::uint64_t>("query_timeout", 700); }, "m_timeout", 2000},
        {"default load timeout", [](Metadata&) {}, "m_server_file_load_timeout", 180},
        {"load timeout", [](Metadata& p) { p.set<std::uint32_t>("server_file_load_timeout", 9); },
         "m_server_file_load_timeout", 9},
        {"default connection timeout", [](Metadata&) {}, "m_connection_timeout_ms", 15000},
        {"connection timeout", [](Metadata& p) { p.set<std::uint32_t>("connection_timeout", 40); },
         "m_connection_timeout_ms", 40},
        {"default block size", [](Metadata&) {}, "m_block_size", 256000},
        {"block size", [](Metadata& p) { p.set<std::uint64_t>("max_message_size", 4000); }, "m_block_size", 4000},
        {"block size as 32 bits", [](Metadata& p) { p.set<std::uint32_t>("max_message_size", 4000); }, "m_block_size",
         256000},
        {"default queue", [](Metadata&) {}, "m_max_reads_queued", 20},
        {"queue", [](Metadata& p) { p.set<std::uint64_t>("max_reads_queued", 3); }, "m_max_reads_queued", 3},
        {"default moves", [](Metadata&) {}, "m_enable_moves", 0},
        {"moves", [](Metadata& p) { p.set("move_enabled", true); }, "m_enable_moves", 1},
        {"moves as a number", [](Metadata& p) { p.set<std::int32_t>("move_enabled", 1); }, "m_enable_moves", 0},
        {"pairing", [](Metadata& p) { p.set("pair_by_channel", true); }, "m_pair_by_channel", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Corvane client("ipc:///nowhere", "ref_dna_fast");
        Metadata params;
        row.set(params);
        ASSERT_EQ(client.set_params(params), Result::success);
        const auto state = internal_state(client);
        ASSERT_TRUE(state.IsObject());
        const auto& value = state[row.state_key];
        const std::uint64_t got = value.IsBool() ? static_cast<std::uint64_t>(value.GetBool()) : value.GetUint64();
        EXPECT_EQ(got, row.expected);
        EXPECT_STREQ(state["client"].GetString(), "null");
        EXPECT_STREQ(state["status"].GetString(), "disconnected");
    }
}

TEST(CorvaneParametersTest, RefusesTextsThatWouldAddItemsToTheConnectionText) {
    const struct {
        const char* key;
        const char* value;
        Result expected;
    } rows[] = {
        {"client_name", "run>move_enabled=1", Result::failed},
        {"barcode_kits", "KIT-12>trim_adapters=0", Result::failed},
        {"minimap_opt_string", "-k 15>x", Result::failed},
        {"align_ref", "/ref/a>b.mmi", Result::failed},
        {"barcode_kits", "KIT-12 = plain", Result::success},
        // Stays on the client, so it may hold anything.
        {"my_own_note", "a>b", Result::success},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + "=" + row.value);
        Corvane client("ipc:///nowhere", "ref_dna_fast");
        Metadata params;
        params.set(row.key, row.value);
        params.set<std::uint32_t>("query_timeout", 700);
        EXPECT_EQ(client.set_params(params), row.expected);
        // A refused call changes nothing.
        const auto state = internal_state(client);
        EXPECT_EQ(state["m_timeout"].GetUint64(), row.expected == Result::success ? 700u : 2000u);
    }
    for (const char* config : {"cfg:>client_name=x", "cfg>x"}) {
        SCOPED_TRACE(config);
        Corvane client("ipc:///nowhere", config);
        EXPECT_EQ(client.connect(), Result::failed);
        EXPECT_EQ(client.get_status(), ConnectionStatus::disconnected);
    }
}

TEST(CorvaneParametersTest, WithoutAnEngineEveryCallAnswersAtOnce) {
    Corvane client("ipc:///nowhere", "ref_dna_fast");
    EXPECT_EQ(client.get_status(), ConnectionStatus::disconnected);
    EXPECT_EQ(client.disconnect(), Result::no_connection);
    EXPECT_EQ(client.finish(0), Result::no_connection);
    client.no_more_data();
    auto read = valid_read(1, 500);
    EXPECT_EQ(client.pass_read(read, 0), PassReadResult::not_accepting_reads);
    std::vector<apps::Read> reads;
    reads.push_back(valid_read(2, 500));
    EXPECT_EQ(client.pass_reads(reads, 0), PassReadResult::not_accepting_reads);
    EXPECT_EQ(reads.size(), 1u);
    std::vector<std::vector<apps::Read>> completed(2);
    client.get_completed_reads(completed);
    EXPECT_EQ(completed.size(), 2u);
    EXPECT_EQ(client.num_buffered_samples(), 0u);
    EXPECT_EQ(client.num_completed_reads(), 0u);
    Metadata config;
    EXPECT_EQ(client.get_basecalling_config(config), Result::no_connection);
    std::string header;
    EXPECT_EQ(client.get_alignment_sam_header(header), Result::no_connection);
    apps::ConnectedServerInfo info;
    EXPECT_EQ(client.get_connected_server_info(info), Result::no_connection);
    EXPECT_EQ(client.get_error_message(), "");
    EXPECT_EQ(client.get_address(), "ipc:///nowhere");

    std::string message;
    EXPECT_FALSE(client.validate_read(apps::Read(), message));
    EXPECT_EQ(message.rfind("Missing data in ReadHolder object:", 0), 0u) << message;
    EXPECT_TRUE(client.validate_read(valid_read(3, 10), message));
    EXPECT_TRUE(Corvane::check_library_compatibility());
    EXPECT_EQ(Corvane::get_api_version().text, "11.0.0");
    EXPECT_EQ(Corvane::get_protocol_version().text, "26.0.0");
    EXPECT_EQ(Corvane::get_software_version().text.rfind("7.13.6+", 0), 0u);
}

// A split read comes back as the whole read and its pieces, all under its
// tag: they form one group, the whole read first, and no other read joins
// it.
TEST_F(CorvaneTest, EachReadComesBackAsOneGroupWithItsPieces) {
    const std::size_t pieces_of[] = {0, 1, 2, 1, 3, 2, 1, 1, 2};  // by read tag; 1: not split
    auto client = connected_client();
    std::vector<apps::Read> reads;
    for (std::uint64_t tag = 1; tag < std::size(pieces_of); ++tag) {
        const std::string id = "grouped-" + std::to_string(tag);
        std::vector<std::string> pieces;
        for (std::size_t p = 0; p < pieces_of[tag]; ++p) {
            pieces.push_back(reference_server::random_bases(tag * 10 + p, 300));
        }
        reads.push_back(test_support::read_of_signal(
            tag, id, reference_server::simulate_signal(pieces, {}, reference_server::seed_of(id))));
    }
    ASSERT_EQ(client->pass_reads(reads, 1000), PassReadResult::success);
    std::map<std::uint64_t, std::vector<std::uint64_t>> groups;  // read tag -> sub tags, as grouped
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            std::vector<std::vector<apps::Read>> done;
            client->get_completed_reads(done);
            for (const auto& group : done) {
                const std::uint64_t tag = group.at(0).get_read_tag();
                EXPECT_EQ(groups.count(tag), 0u) << "read " << tag << " came back in two groups";
                for (const apps::Read& read : group) {
                    EXPECT_EQ(read.get_read_tag(), tag);
                    groups[tag].push_back(read.get_sub_tag());
                }
            }
            return groups.size() == std::size(pieces_of) - 1;
        },
        "every read's group back"));
    for (std::uint64_t tag = 1; tag < std::size(pieces_of); ++tag) {
        // The whole read leads; its pieces follow in no set order.
        std::vector<std::uint64_t> expected(pieces_of[tag] > 1 ? pieces_of[tag] + 1 : 1);
        std::iota(expected.begin(), expected.end(), 0);
        std::vector<std::uint64_t>& got = groups[tag];
        std::sort(got.begin() + 1, got.end());
        EXPECT_EQ(got, expected) << "read " << tag;
    }
}

TEST_F(CorvaneTest, ConnectsReportsTheServerAndDisconnects) {
    auto client = connected_client();
    EXPECT_EQ(client->get_status(), ConnectionStatus::connected);
    EXPECT_EQ(client->connect(), Result::already_connected);
    EXPECT_EQ(client->set_params(quick_params()), Result::already_connected);
    EXPECT_EQ(client->set_priority(apps::Read::Priority::HIGH_PRIORITY), Result::already_connected);

    apps::ConnectedServerInfo info;
    ASSERT_EQ(client->get_connected_server_info(info), Result::success);
    EXPECT_FALSE(info.connection_id.empty());
    EXPECT_EQ(info.server_version, "7.13.6");
    Metadata config;
    config.set("kept", "yes");
    ASSERT_EQ(client->get_basecalling_config(config), Result::success);
    EXPECT_EQ(*config.find<std::string>("config_name"), "ref_dna_fast");
    EXPECT_EQ(*config.find<bool>("duplex"), false);
    EXPECT_EQ(*config.find<std::string>("kept"), "yes");
    const auto state = internal_state(*client);
    ASSERT_TRUE(state.HasMember("Client"));
    EXPECT_STREQ(state["Client"]["m_client_connection_state"].GetString(), "connected");

    EXPECT_EQ(client->disconnect(), Result::success);
    EXPECT_EQ(client->get_status(), ConnectionStatus::disconnected);
    EXPECT_EQ(client->disconnect(), Result::no_connection);
    auto read = valid_read(1, 500);
    EXPECT_EQ(client->pass_read(read, 0), PassReadResult::not_accepting_reads);
    // The last connection's details stay readable.
    apps::ConnectedServerInfo after;
    EXPECT_EQ(client->get_connected_server_info(after), Result::success);
    EXPECT_EQ(after.connection_id, info.connection_id);
    // A new connection is a new engine.
    EXPECT_EQ(client->connect(), Result::success);
    ASSERT_EQ(client->get_connected_server_info(after), Result::success);
    EXPECT_NE(after.connection_id, info.connection_id);
}

namespace {

std::atomic<Corvane*> starting_client{nullptr};
std::atomic<ConnectionStatus> status_at_worker_start{ConnectionStatus::disconnected};

void record_status_at_worker_start() {
    if (Corvane* const client = starting_client.load()) {
        status_at_worker_start = client->get_status();
    }
}

}  // namespace

// What one call changes, every thread sees from then on: a worker that has
// started is a connection to stop, no more data refuses the very next read,
// and parameters may change while another thread passes reads.
TEST_F(CorvaneTest, ChangesTakeEffectForEveryThreadAtOnce) {
    auto client = std::make_unique<Corvane>(m_endpoint, "ref_dna_fast");
    ASSERT_EQ(client->set_params(quick_params()), Result::success);
    ASSERT_EQ(client->set_callback_function(&record_status_at_worker_start), Result::success);
    starting_client = client.get();
    ASSERT_EQ(client->connect(), Result::success);
    starting_client = nullptr;
    EXPECT_EQ(status_at_worker_start.load(), ConnectionStatus::preparing_connection);

    // Declared while the worker waits for a reply, so that it cannot pass
    // the word on before the next read comes.
    m_server.faults().add({ipc_tools::MessageType::GET_FIRST_CALLED_BLOCK, reference_server::FaultAction::delay,
                           ipc_tools::MessageType::UNSET, "", 400, 1});
    auto first = valid_read(1, 500);
    ASSERT_EQ(client->pass_read(first, 0), PassReadResult::success);
    ASSERT_TRUE(test_support::wait_until([&] { return m_server.faults().rule_count() == 0; }, "the held reply"));
    client->no_more_data();
    auto read = valid_read(2, 500);
    EXPECT_EQ(client->pass_read(read, 0), PassReadResult::not_accepting_reads);
    EXPECT_EQ(client->finish(5), Result::success);

    // Without a connection both calls are allowed, at the same time; run
    // under ThreadSanitizer.
    std::atomic<bool> go{false};
    std::thread passer([&] {
        while (!go.load()) {
        }
        for (int i = 0; i < 2000; ++i) {
            auto another = valid_read(2, 500);
            EXPECT_EQ(client->pass_read(another, 0), PassReadResult::not_accepting_reads);
        }
    });
    go = true;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        Metadata params;
        params.set<std::uint32_t>("pass_read_timeout", i);
        EXPECT_EQ(client->set_params(params), Result::success);
    }
    passer.join();
}

TEST_F(CorvaneTest, FailedConnectionsReportTheirCause) {
    const struct {
        const char* what;
        std::string address;
        const char* config;
        Result expected;
    } rows[] = {
        {"refused configuration", m_endpoint, "nope", Result::basecall_config_unavailable},
        {"no server, after the reconnect deadline", m_folder.ipc_endpoint("nobody"), "ref_dna_fast",
         Result::timed_out},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Corvane client(row.address, row.config);
        ASSERT_EQ(client.set_params(quick_params()), Result::success);
        EXPECT_EQ(client.connect(), row.expected);
        EXPECT_EQ(client.get_status(), ConnectionStatus::error);
        EXPECT_FALSE(client.get_error_message().empty());
        EXPECT_EQ(client.connect(), Result::failed);
        EXPECT_EQ(client.finish(1), Result::failed);
        EXPECT_EQ(client.disconnect(), Result::success);
        EXPECT_EQ(client.get_status(), ConnectionStatus::disconnected);
        EXPECT_EQ(client.get_error_message(), "");
    }
}

TEST_F(CorvaneTest, FinishWithoutReadsEndsTheConnection) {
    auto client = connected_client();
    EXPECT_EQ(client->finish(0), Result::success);
    EXPECT_EQ(client->get_status(), ConnectionStatus::disconnected);
    EXPECT_EQ(client->finish(0), Result::no_connection);
}

TEST_F(CorvaneTest, ReconnectsUnderANewIdAfterTheServerRestarts) {
    Metadata params = quick_params();
    params.set<std::uint32_t>("reconnect_timeout", 30);
    auto client = connected_client(params);
    apps::ConnectedServerInfo before;
    ASSERT_EQ(client->get_connected_server_info(before), Result::success);

    // A new server process on the same endpoint knows no client.
    m_server.stop();
    reference_server::ReferenceServer restarted;
    std::atomic<int> connects{0};
    restarted.set_request_log([&](const reference_server::RequestRecord& record) {
        if (record.request == ipc_tools::MessageType::CONNECT) {
            ++connects;
        }
    });
    ASSERT_EQ(restarted.start(m_endpoint), m_endpoint);
    EXPECT_TRUE(test_support::wait_until(
        [&] { return connects.load() == 1 && client->get_status() == ConnectionStatus::connected; },
        "a connection to the restarted server", std::chrono::seconds(30)));
    apps::ConnectedServerInfo after;
    ASSERT_EQ(client->get_connected_server_info(after), Result::success);
    EXPECT_FALSE(after.connection_id.empty());
    EXPECT_EQ(client->finish(5), Result::success);
}

// The alignment table holds genome names of up to 252 characters; a server
// sending a longer one ends the connection rather than having it cut short.
TEST_F(CorvaneTest, TakesGenomeNamesUpToTheTableLimitAndRefusesLonger) {
    const struct {
        reference_server::FaultAction fault;
        std::size_t length;
        bool taken;
    } cases[] = {
        {reference_server::FaultAction::longest_genome_name, 252, true},
        {reference_server::FaultAction::long_genome_name, 253, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        m_server.faults().clear();
        m_server.faults().add({ipc_tools::MessageType::GET_FIRST_CALLED_BLOCK, c.fault, ipc_tools::MessageType::UNSET});
        auto client = connected_client();
        auto read = valid_read(7, 4000);
        ASSERT_EQ(client->pass_read(read, 1000), PassReadResult::success);
        const std::string genome(c.length, 'g');
        if (!c.taken) {
            ASSERT_TRUE(test_support::wait_until([&] { return client->get_status() == ConnectionStatus::error; },
                                                 "the connection to fail"));
            EXPECT_EQ(client->get_error_message(),
                      "[bad_reply] Alignment genome name " + genome + " exceeds maximum allowed size of 253");
            continue;
        }
        std::vector<std::vector<apps::Read>> done;
        ASSERT_TRUE(test_support::wait_until(
            [&] {
                client->get_completed_reads(done);
                return !done.empty();
            },
            "the read to come back"));
        ASSERT_EQ(done.size(), 1u);
        ASSERT_TRUE(done[0].at(0).has_alignment_data());
        const auto& table = done[0][0].get_datasets().at(vesk::data_wrappers::v2::align_results);
        ASSERT_EQ(table.count(), 1u);
        EXPECT_EQ(std::string(static_cast<const char*>(table.data())), genome);
        EXPECT_EQ(client->get_status(), ConnectionStatus::connected);
        EXPECT_EQ(client->finish(5), Result::success);
    }
}

namespace {

enum class StopBy { disconnect, finish, destroy };

}  // namespace

// Registration polls a server that keeps loading for ten minutes; a server
// that is gone is retried for five. Either way a stop ends the worker at once.
TEST(CorvaneStopTest, StoppingIsPromptWhileLoadingOrRetrying) {
    const struct {
        const char* what;
        bool retrying;
        StopBy stop;
    } rows[] = {
        {"loading, disconnect", false, StopBy::disconnect},
        {"loading, finish", false, StopBy::finish},
        {"retrying, disconnect", true, StopBy::disconnect},
        {"retrying, finish", true, StopBy::finish},
        {"retrying, destructor", true, StopBy::destroy},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test_support::TempDir folder;
        reference_server::ReferenceServer server(row.retrying ? reference_server::default_settings()
                                                              : slow_config_settings());
        const auto endpoint = server.start(folder.ipc_endpoint());
        auto client = std::make_unique<Corvane>(endpoint, "ref_dna_fast");
        Metadata params;
        params.set<std::uint32_t>("query_timeout", 300);
        ASSERT_EQ(client->set_params(params), Result::success);

        std::optional<std::thread> connecting;
        std::atomic<bool> connect_returned{false};
        if (row.retrying) {
            ASSERT_EQ(client->connect(), Result::success);
            server.stop();
            ASSERT_TRUE(test_support::wait_until(
                [&] { return client->get_status() != ConnectionStatus::connected; }, "the lost connection"));
        } else {
            connecting.emplace([&] {
                client->connect();
                connect_returned = true;
            });
            ASSERT_TRUE(test_support::wait_until(
                [&] { return client->get_status() == ConnectionStatus::loading_config; }, "loading"));
        }

        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            switch (row.stop) {
            case StopBy::disconnect: client->disconnect(); break;
            case StopBy::finish: client->finish(1); break;
            case StopBy::destroy: client.reset(); break;
            }
            stopped = true;
        });
        EXPECT_TRUE(test_support::wait_until([&] { return stopped.load(); }, "the stop", stop_deadline));
        stopper.join();
        if (connecting) {
            EXPECT_TRUE(test_support::wait_until([&] { return connect_returned.load(); }, "connect", stop_deadline));
            connecting->join();
        }
        if (client) {
            EXPECT_EQ(client->get_status(), ConnectionStatus::disconnected);
        }
    }
}

namespace {

enum class HandlerAction { query, disconnect, finish, connect, destroy };

// Shared with the handler, which may outlive the test's frame when it
// destroys its own client (the engine then ends on another thread).
struct HandlerProbe {
    std::mutex mutex;
    std::vector<ConnectionStatus> seen;  // guarded by mutex
    std::unique_ptr<Corvane> client;     // reset by the destroy action only, on the notifier thread
    Corvane* raw = nullptr;              // notifier thread only, once armed
    std::atomic<bool> armed{false};
    std::atomic<bool> acted{false};
    std::atomic<bool> destroyed{false};
};

}  // namespace

// The handler acts on the first change after the connection is lost, while
// the worker is reconnecting.
TEST(CorvaneHandlerTest, TheStateChangeHandlerMayCallBackIntoItsClient) {
    const HandlerAction actions[] = {HandlerAction::query, HandlerAction::disconnect, HandlerAction::finish,
                                     HandlerAction::connect, HandlerAction::destroy};
    for (const HandlerAction action : actions) {
        SCOPED_TRACE(static_cast<int>(action));
        test_support::TempDir folder;
        reference_server::ReferenceServer server;
        const auto endpoint = server.start(folder.ipc_endpoint());
        auto probe = std::make_shared<HandlerProbe>();
        probe->client = std::make_unique<Corvane>(endpoint, "ref_dna_fast");
        probe->raw = probe->client.get();
        ASSERT_EQ(probe->client->set_params(quick_params()), Result::success);
        ASSERT_EQ(probe->client->set_state_change_handler([probe, action](ConnectionStatus, ConnectionStatus, std::string) {
            if (!probe->armed.load() || probe->raw == nullptr) {
                return;
            }
            const ConnectionStatus now = probe->raw->get_status();
            {
                std::lock_guard lock(probe->mutex);
                probe->seen.push_back(now);
            }
            if (probe->acted.exchange(true)) {
                return;
            }
            switch (action) {
            case HandlerAction::query: probe->raw->get_internal_state(); break;
            case HandlerAction::disconnect: probe->raw->disconnect(); break;
            case HandlerAction::finish: probe->raw->finish(0); break;
            case HandlerAction::connect: probe->raw->connect(); break;
            case HandlerAction::destroy:
                probe->raw = nullptr;
                probe->client.reset();
                probe->destroyed = true;
                break;
            }
        }),
                  Result::success);
        ASSERT_EQ(probe->client->connect(), Result::success);
        probe->armed = true;
        server.stop();
        ASSERT_TRUE(test_support::wait_until([&] { return probe->acted.load(); }, "the handler's call"));
        if (action == HandlerAction::destroy) {
            EXPECT_TRUE(test_support::wait_until([&] { return probe->destroyed.load(); }, "the client's end"));
            continue;
        }
        if (action == HandlerAction::disconnect || action == HandlerAction::finish) {
            EXPECT_TRUE(test_support::wait_until(
                [&] { return probe->client->get_status() == ConnectionStatus::disconnected; }, "the worker's end"));
        }
        // Joins the engine, and with it the notifier.
        probe->client.reset();
        std::lock_guard lock(probe->mutex);
        EXPECT_FALSE(probe->seen.empty());
    }
}

// A handler that calls into its client holds the engine while the call
// lasts, so dropping the client's own reference does not end the engine
// then. Destroying the client still waits for that call to return, and no
// call starts once it is destroyed: the handler is held inside pass_read,
// at the warning about the invalid read it passes.
TEST(CorvaneHandlerTest, NoHandlerCallOutlivesItsClient) {
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(folder.ipc_endpoint());
    test_support::HeldLogLine held("Missing data in ReadHolder object");
    auto probe = std::make_shared<HandlerProbe>();
    probe->client = std::make_unique<Corvane>(endpoint, "ref_dna_fast", "", true);
    probe->raw = probe->client.get();
    // Shared with the handler, which would outlive the test's frame if
    // the client's end did not wait for it.
    struct Seen {
        std::atomic<bool> gone{false};  // the client's destructor has returned
        std::atomic<int> calls_after_gone{0};
        std::atomic<bool> held_call_returned{false};
    };
    auto seen = std::make_shared<Seen>();
    ASSERT_EQ(probe->client->set_params(quick_params()), Result::success);
    ASSERT_EQ(probe->client->set_state_change_handler([probe, seen](ConnectionStatus, ConnectionStatus, std::string) {
        if (seen->gone.load()) {
            ++seen->calls_after_gone;
            return;
        }
        if (!probe->armed.load() || probe->acted.exchange(true)) {
            return;
        }
        apps::Read invalid;
        probe->raw->pass_read(invalid, 0);
        seen->held_call_returned = true;
    }),
              Result::success);
    ASSERT_EQ(probe->client->connect(), Result::success);
    probe->armed = true;
    server.stop();
    ASSERT_TRUE(test_support::wait_until([&] { return held.holding(); }, "the handler inside pass_read"));
    std::thread destroying([&] {
        probe->client.reset();
        seen->gone = true;
    });
    // Destroying waits for the handler: it has not returned while the
    // handler is held (a bounded look, not a synchronisation).
    const auto look_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (!seen->gone.load() && std::chrono::steady_clock::now() < look_until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(seen->gone.load()) << "the client was destroyed while its handler was running";
    held.release();
    destroying.join();
    EXPECT_TRUE(seen->held_call_returned.load());
    // The engine ends on its notifier once the handler lets go of it; the
    // status changes of its end reach no handler.
    EXPECT_EQ(seen->calls_after_gone.load(), 0);
}

// Every retry of a server that refuses the client adds a notification while
// the handler is held up, until the notifier's queue is full and the worker
// waits for room. The handler then reads the status and disconnects: both
// return, the pending notifications are all delivered and the worker ends.
TEST(CorvaneHandlerTest, CallsBackIntoItsClientWithAThousandNotificationsPending) {
    constexpr int pending_wanted = 1000;
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    std::atomic<int> pings_after_restart{0};
    std::atomic<bool> restarted{false};
    server.set_request_log([&](const reference_server::RequestRecord& record) {
        if (restarted.load() && record.request == ipc_tools::MessageType::HEARTBEAT_PING) {
            ++pings_after_restart;
        }
    });
    const auto endpoint = server.start(folder.ipc_endpoint());

    struct Probe {
        std::atomic<Corvane*> client{nullptr};
        std::atomic<bool> held{false};     // the handler is waiting for release
        std::atomic<bool> release{false};
        std::atomic<int> calls_after_release{0};
        std::atomic<bool> disconnect_returned{false};
        std::atomic<bool> saw_disconnected{false};  // the last notification of the engine
    };
    auto probe = std::make_shared<Probe>();
    auto client = std::make_unique<Corvane>(endpoint, "ref_dna_fast");
    Metadata params = quick_params();
    params.set<std::uint32_t>("reconnect_timeout", 120);
    ASSERT_EQ(client->set_params(params), Result::success);
    ASSERT_EQ(client->set_state_change_handler([probe](ConnectionStatus previous, ConnectionStatus next, std::string) {
        Corvane* const raw = probe->client.load();
        if (raw == nullptr) {
            return;
        }
        if (previous == ConnectionStatus::connected && next == ConnectionStatus::preparing_connection &&
            !probe->held.exchange(true)) {
            // Bounded, so that a failure elsewhere cannot hold the notifier for ever.
            static_cast<void>(test_support::wait_until([&] { return probe->release.load(); }, "the release",
                                                       std::chrono::seconds(60)));
            static_cast<void>(raw->get_status());
            EXPECT_EQ(raw->disconnect(), Result::success);
            probe->disconnect_returned = true;
            return;
        }
        if (probe->release.load()) {
            static_cast<void>(raw->get_status());
            ++probe->calls_after_release;
        }
        if (next == ConnectionStatus::disconnected) {
            probe->saw_disconnected = true;
        }
    }),
              Result::success);
    ASSERT_EQ(client->connect(), Result::success);
    probe->client = client.get();

    // Every later ping is refused as from a restarted server, so each
    // attempt fails at once and the worker retries.
    server.faults().add({ipc_tools::MessageType::HEARTBEAT_PING, reference_server::FaultAction::reply,
                         ipc_tools::MessageType::CLIENT_NOT_RECOGNISED});
    restarted = true;
    server.faults().restart_now();
    // One ping before the first retry, then one per retry: the notification
    // of each retry stays pending behind the held one.
    ASSERT_TRUE(test_support::wait_until([&] { return pings_after_restart.load() >= pending_wanted + 1; },
                                         "the notifier's queue to fill", std::chrono::seconds(60)));
    probe->release = true;
    EXPECT_TRUE(test_support::wait_until([&] { return probe->disconnect_returned.load(); }, "the handler's disconnect"));
    EXPECT_TRUE(test_support::wait_until([&] { return client->get_status() == ConnectionStatus::disconnected; },
                                         "the worker's end", std::chrono::seconds(30)));
    EXPECT_TRUE(test_support::wait_until([&] { return probe->saw_disconnected.load(); }, "the last notification"));
    probe->client = nullptr;
    // Joins the engine, and with it the notifier.
    client.reset();
    EXPECT_GE(probe->calls_after_release.load(), pending_wanted - 1);
}

// However the worker ends, every read passed in comes back exactly once;
// those it could not finish come back without results, and the counts say
// so. A stop is prompt even while the server holds back its reply, and
// then sends no DISCONNECT on a socket that still awaits that reply.
TEST(CorvaneEndTest, EveryReadLeavesOnceHoweverTheWorkerEnds) {
    using ipc_tools::MessageType;
    using reference_server::FaultAction;
    using reference_server::FaultRule;
    enum class End { error, server_gone, finish_runs_out, disconnect, finish_from_handler };
    const FaultRule no_results{MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::reply, MessageType::NONE_PENDING};
    const struct {
        const char* what;
        End end;
        FaultRule keeps_reads_in_flight;
    } rows[] = {
        {"a reply the client cannot take", End::error,
         {MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::reply, MessageType::SUCCESS, "", 0, 1}},
        {"the server gone past the reconnect deadline", End::server_gone, no_results},
        {"finish running out of time", End::finish_runs_out, no_results},
        {"disconnect while the server holds its reply", End::disconnect,
         {MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::stall, MessageType::UNSET, "", 60000, 1}},
        {"finish from the state change handler", End::finish_from_handler, no_results},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test_support::TempDir folder;
        reference_server::ReferenceServer server;
        auto client = std::make_unique<Corvane>(server.start(folder.ipc_endpoint()), "ref_dna_fast");
        Metadata params = quick_params();
        // A reply wait of 4 x 30 s, which a stop must not sit out.
        params.set<std::uint32_t>("query_timeout", row.end == End::disconnect ? 30000 : 300);
        ASSERT_EQ(client->set_params(params), Result::success);
        std::atomic<bool> armed{false};
        std::atomic<bool> finished_by_handler{false};
        Corvane* const raw = client.get();
        ASSERT_EQ(client->set_state_change_handler([&](ConnectionStatus, ConnectionStatus next, std::string) {
            if (armed.load() && next == ConnectionStatus::preparing_connection && !finished_by_handler.exchange(true)) {
                static_cast<void>(raw->finish(0));
            }
        }),
                  Result::success);
        ASSERT_EQ(client->connect(), Result::success) << client->get_error_message();
        server.faults().add(row.keeps_reads_in_flight);
        std::vector<apps::Read> reads;
        for (std::uint64_t tag = 1; tag <= 5; ++tag) {
            reads.push_back(valid_read(tag, 1000));
        }
        ASSERT_EQ(client->pass_reads(reads, 1000), PassReadResult::success);
        ASSERT_TRUE(test_support::wait_until([&] { return client->num_buffered_samples() == 0; }, "the submission"));

        const auto ended = [&] {
            const ConnectionStatus status = client->get_status();
            return status == ConnectionStatus::disconnected || status == ConnectionStatus::error;
        };
        std::string logged;
        switch (row.end) {
        case End::server_gone:
            server.stop();
            [[fallthrough]];
        case End::error:
            EXPECT_TRUE(test_support::wait_until(ended, "the worker's end", stop_deadline));
            break;
        case End::finish_runs_out:
            EXPECT_EQ(client->finish(1), Result::not_ready);
            break;
        case End::disconnect: {
            ASSERT_TRUE(test_support::wait_until([&] { return server.faults().rule_count() == 0; }, "the stall"));
            testing::internal::CaptureStderr();
            std::thread stopper([&] { EXPECT_EQ(client->disconnect(), Result::success); });
            EXPECT_TRUE(test_support::wait_until(ended, "the stop", stop_deadline));
            stopper.join();
            logged = testing::internal::GetCapturedStderr();
            break;
        }
        case End::finish_from_handler:
            // The next pull hears the client is unknown, as after a restart:
            // the worker reconnects, and the handler stops it.
            armed = true;
            server.faults().clear();
            server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::reply,
                                 MessageType::CLIENT_NOT_RECOGNISED, "", 0, 1});
            server.faults().add(no_results);
            EXPECT_TRUE(test_support::wait_until([&] { return finished_by_handler.load() && ended(); },
                                                 "the worker's end", stop_deadline));
            break;
        }
        EXPECT_EQ(logged.find("Error disconnecting from server"), std::string::npos) << logged;
        EXPECT_EQ(client->num_buffered_samples(), 0u);
        EXPECT_EQ(client->num_completed_reads(), 5u);
        std::vector<std::vector<apps::Read>> done;
        client->get_completed_reads(done);
        std::vector<std::uint64_t> tags;
        for (const auto& group : done) {
            for (const apps::Read& read : group) {
                tags.push_back(read.get_read_tag());
                EXPECT_EQ(read.get_datasets().count(vesk::data_wrappers::v2::sequence), 0u);
            }
        }
        std::sort(tags.begin(), tags.end());
        EXPECT_EQ(tags, (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
        // Before the flags its handler reads go.
        client.reset();
    }
}
