#pragma once

// Moves reads between the read buffer and the server over an established
// connection. Each turn of process_reads pings a quiet link, pushes the
// first queued unit (PASS_READ_BATCH, or PASS_FIRST_RAW_BLOCK followed by
// PASS_NEXT_RAW_BLOCK), asks for one finished read (GET_FIRST_CALLED_BLOCK,
// continued with GET_NEXT_CALLED_BLOCK) and, once the application has
// declared no more data and the queue is empty, sends NO_MORE_DATA once per
// connection. A turn that exchanged nothing waits up to 10 ms, and is cut
// short when a read is queued, no more data is declared or stop is asked.
//
// Threads: process_reads and everything it calls run on the worker thread
// only. stop and set_no_more_data may come from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "common/runtime/diagnostics/tracing.h"
#include "corvane/abstract_read_processing_protocol.h"

namespace common {
struct ReadHolder;
}

namespace ipc_tools {
class Message;
namespace wire {
struct ReadBlock;
}
}  // namespace ipc_tools

namespace corvane {

class ReadProcessingProtocol final : public AbstractReadProcessingProtocol,
                                     public common::diagnostics::tracing::TraceDomain<ReadProcessingProtocol> {
public:
    // The outcome of one push or pull step.
    enum class Result : std::int32_t {
        success = 0,  // something was exchanged
        error = 1,    // the last error says what
        idle = 2,     // the server had nothing pending or was not ready
    };

    // Longest pause of an idle turn.
    static constexpr auto idle_wait = std::chrono::milliseconds(10);

    ReadProcessingProtocol();
    ~ReadProcessingProtocol() override;
    ReadProcessingProtocol(const ReadProcessingProtocol&) = delete;
    ReadProcessingProtocol& operator=(const ReadProcessingProtocol&) = delete;

    ConnectionErrorInfo process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) override;
    void stop() override;
    bool set_connection_id(std::string connection_id) override;
    void set_enable_moves(bool enable_moves) override;
    void set_no_more_data() override;

private:
    bool stop_requested();
    void wake();
    void wait_idle();
    Result push_into_server(RequestBrokerAdapter& adapter);
    Result pull_from_server(RequestBrokerAdapter& adapter);
    common::ReadHolder* process_read_message(RequestBrokerAdapter& adapter, const ipc_tools::wire::ReadBlock& block);
    bool send_no_more_data(RequestBrokerAdapter& adapter);
    void set_error(ConnectionError code, std::string message);

    // Worker thread only.
    ConnectionErrorInfo m_last_error;
    ReadBuffer* m_read_buffer = nullptr;
    bool m_enable_moves = false;
    std::string m_connection_id;

    std::mutex m_mutex;
    std::condition_variable m_wake_event;  // stop, a queued read, no more data
    bool m_stop = false;                   // guarded by m_mutex; never cleared
    bool m_wake_requested = false;         // guarded by m_mutex; cleared at each turn

    std::atomic<bool> m_no_more_data{false};
    std::atomic<bool> m_sent_no_more_data{false};
};

}  // namespace corvane
