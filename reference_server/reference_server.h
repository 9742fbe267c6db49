#pragma once

// An in-process reference basecall server: one thread answering requests on
// a ZeroMQ reply socket of its own context, bound to a tcp:// or ipc://
// endpoint (inproc:// cannot be reached by clients, which own their
// contexts).
//
//   reference_server::ReferenceServer server;
//   const auto endpoint = server.start("tcp://127.0.0.1:*");  // port read back
//   server.faults().add({MessageType::GET_STATISTICS, FaultAction::reply,
//                        MessageType::BAD_REQUEST, "no", 0, 1});
//   ...
//   server.stop();  // also done by the destructor
//
// start and stop are for the owning thread; faults(), state() and the
// counters may be used from any thread while the server runs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "reference_server/fault_plan.h"
#include "reference_server/request_handler.h"
#include "reference_server/server_settings.h"
#include "reference_server/server_state.h"

namespace reference_server {

// The endpoint to bind for a listen address: a bare port binds 127.0.0.1
// only ("0" or "*" picks a free port); tcp:// and ipc:// pass unchanged.
// Throws std::runtime_error for anything else.
std::string bind_endpoint(const std::string& address);

class ReferenceServer {
public:
    using RequestLog = std::function<void(const RequestRecord&)>;

    explicit ReferenceServer(ServerSettings settings = default_settings());
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    // Called on the server thread after each answered request. Set before start.
    void set_request_log(RequestLog log);

    // Binds (see bind_endpoint) and starts answering. Returns the bound
    // endpoint with any wildcard port resolved. Throws std::runtime_error
    // naming the address and the reason when it cannot bind, including an
    // ipc:// path that a running server still serves.
    std::string start(const std::string& address);
    // Stops answering and joins the server thread; a reply held back by a
    // delay fault is dropped. Safe to call more than once.
    void stop();

    const std::string& endpoint() const { return m_endpoint; }
    FaultPlan& faults() { return *m_faults; }
    ServerState& state() { return *m_state; }
    std::uint64_t requests_answered() const { return m_requests_answered.load(); }

private:
    void run(zmq::socket_t socket);
    RequestHandler::Outcome refuse_multipart(zmq::socket_t& socket);
    // Waits out a delay fault; false when stopped meanwhile.
    bool wait_unless_stopped(std::chrono::milliseconds delay);

    std::shared_ptr<ServerState> m_state;
    std::shared_ptr<FaultPlan> m_faults;
    RequestHandler m_handler;  // server thread only
    RequestLog m_request_log;  // set before start, then read by the server thread only
    zmq::context_t m_context;
    std::string m_endpoint;
    std::thread m_thread;

    std::mutex m_stop_mutex;
    std::condition_variable m_stop_changed;
    bool m_stop = false;  // guarded by m_stop_mutex
    std::atomic<bool> m_stop_requested{false};  // mirrors m_stop for the poll loop
    std::atomic<std::uint64_t> m_requests_answered{0};
};

}  // namespace reference_server
