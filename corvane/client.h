#pragma once

// The engine behind one connection of the public client: it owns the
// connection state, the registration conversation, the read buffer and the
// read exchange, and runs the worker thread "client_worker" that registers
// on the server, keeps reads flowing, reconnects after a lost connection
// until the reconnect deadline (wall clock) and leaves the engine in
// disconnected or error.
//
//   auto client = std::make_shared<Client>(256000, 20, 10, false, nullptr);
//   client->connect(address, 2000, 180, info);   // first connection or give-up
//   client->pass_read(read, 100);
//   client->finish_by(0);                       // every read back, worker joined
//
// Threads: connect once, from one application thread. Any thread may pass
// reads, collect them, read the counts and the server's details, and call
// finish_by, disconnect or set_no_more_data. Everything that talks to the
// server runs on the worker. Stopping is prompt: a stop request ends the
// wait between LOADING polls, any wait for a reply and the reconnection
// attempts at once. However the worker ends, every read still queued or
// submitted goes to the completed reads, without results.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/runtime/diagnostics/state_provider.h"
#include "common/runtime/diagnostics/tracing.h"
#include "common/read_model/read_holder.h"
#include "corvane/client_connection_state.h"
#include "corvane/client_status.h"
#include "corvane/connection_protocol.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"

namespace corvane {

class ReadBuffer;
class ReadProcessingProtocol;

class Client : public common::diagnostics::tracing::TraceDomain<Client>,
               public common::diagnostics::state::StateProvider {
public:
    using ThreadStartCallback = void (*)();

    Client(std::uint64_t block_size, std::uint64_t max_input_queue_size, std::uint64_t max_read_failures,
           bool enable_moves, ThreadStartCallback thread_start_callback);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts the worker (once per engine) and returns once the first
    // connection is up or the worker has stopped trying. Query timeout in
    // ms, file load timeout in s.
    void connect(const std::string& address, unsigned int query_timeout, unsigned int file_load_timeout,
                 ipc_tools::ConnectionInfo info);
    // Stops and joins the worker at once; an engine left in error becomes
    // disconnected.
    void disconnect();
    // Declares the end of the reads, waits in 100 ms steps until every read
    // is back (0: no limit, else `timeout` seconds) or the connection ends,
    // then joins the worker. True when every read came back with its
    // results; the reads the stopped worker handed back come back without.
    bool finish_by(std::uint64_t timeout);
    void set_no_more_data();

    // Timeouts in ms, handed to the read buffer (0: do not wait).
    ClientQueueReadsResult pass_read(common::ReadHolder& read, std::uint64_t timeout);
    ClientQueueReadsResult pass_reads(std::vector<common::ReadHolder>& reads, std::uint64_t timeout);
    // Appends the finished reads.
    void get_completed_reads(std::vector<common::ReadHolder>& reads);

    // Before connect.
    void set_reconnect_timeout(std::uint64_t seconds);

    std::uint64_t num_buffered_samples() const;
    std::uint64_t num_completed_reads() const;
    // Nothing queued and nothing waiting for its result.
    bool all_reads_done() const;

    ClientConnectionState& connection_state() { return m_client_connection_state; }
    // Copies of what the last successful connection learned.
    ConfigDetails config_details() const;
    std::string alignment_file_header() const;
    ipc_tools::ConnectedInfo server_details() const;

    // Asks the worker to stop without waiting for it (safe on any thread,
    // also the notifier's).
    void request_stop();

    void log_state(common::diagnostics::state::StateLogger& logger) const override;

private:
    void worker_loop();
    void join_worker_thread();
    std::chrono::system_clock::time_point calculate_reconnect_timeout_time(std::uint64_t seconds) const;
    std::shared_ptr<ReadBuffer> read_buffer() const;
    void count_down_connected_latch();
    void end_worker(ReadBuffer& buffer, const ConnectionErrorInfo& error, bool was_connected);

    ClientConnectionState m_client_connection_state;
    std::shared_ptr<ConnectionProtocol> m_connection_protocol;

    mutable std::mutex m_mutex;
    std::shared_ptr<ReadBuffer> m_read_buffer;  // guarded by m_mutex
    // Copied from the connection protocol by the worker after each
    // connection, so that application threads never read the protocol's
    // own fields while the worker rewrites them. Guarded by m_mutex.
    ConfigDetails m_config_details;
    std::string m_alignment_file_header;
    ipc_tools::ConnectedInfo m_server_details;

    std::shared_ptr<ReadProcessingProtocol> m_read_processing_protocol;
    ThreadStartCallback m_thread_start_callback;

    std::mutex m_worker_mutex;
    std::thread m_worker;  // guarded by m_worker_mutex
    std::atomic<bool> m_accept_data{false};
    std::atomic<std::uint64_t> m_reads_handed_back{0};  // by the worker as it ended
    // From the ending worker's hand-back of the unfinished reads until it
    // has set the error that ended it; written under m_hand_back_mutex,
    // read without it on the way out of every collection.
    std::atomic<bool> m_handing_back{false};
    std::mutex m_hand_back_mutex;
    std::condition_variable m_hand_back_done;

    std::mutex m_latch_mutex;
    std::condition_variable m_latch_released;
    int m_latch_count = 1;  // guarded by m_latch_mutex; 1 until the first connection or the worker's end

    // Written by connect before the worker starts, then read by the worker only.
    ipc_tools::ConnectionInfo m_connection_info;
    unsigned int m_file_load_timeout = 0;  // s
    std::atomic<std::uint64_t> m_reconnect_timeout{300};  // s
    const std::uint64_t m_max_input_queue_size;
    const std::uint64_t m_block_size;
    const std::uint64_t m_max_read_failures;
};

}  // namespace corvane
