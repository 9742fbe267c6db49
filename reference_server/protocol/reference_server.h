#pragma once

// An in-process reference basecall server: one thread answering requests on
// a ZeroMQ ROUTER socket of its own context (to a REQ client just like a
// reply socket), bound to a tcp:// or ipc:// endpoint (inproc:// cannot be
// reached by clients, which own their contexts), and the data plane's
// caller threads, which start and stop with it. A reply held back by a
// delay or stall fault waits in a queue and goes out when due, so the
// other clients are served meanwhile. An optional control socket takes
// run-time commands (control_command.h).
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
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reference_server/settings/fault_plan.h"
#include "reference_server/protocol/request_handler.h"
#include "reference_server/settings/server_settings.h"
#include "reference_server/settings/server_state.h"

namespace reference_server {

// The endpoint to bind for a listen address: a bare port binds 127.0.0.1
// only ("0" or "*" picks a free port); tcp:// and ipc:// pass unchanged.
// Throws std::runtime_error for anything else.
std::string bind_endpoint(const std::string& address);

class ReferenceServer {
public:
    using RequestLog = std::function<void(const RequestRecord&)>;
    using StopHandler = std::function<void()>;

    explicit ReferenceServer(ServerSettings settings = default_settings());
    // With another basecaller, for tests that need results of a given shape.
    ReferenceServer(ServerSettings settings, CallRead call_read);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    // Called on the server thread after each answered request. Set before start.
    void set_request_log(RequestLog log);
    // Makes the control command "stop" available: the handler is called on
    // the server thread once the command is answered, and should make the
    // owner call stop() (it must not call it itself). Set before start.
    void set_stop_handler(StopHandler handler);

    // Binds (see bind_endpoint) and starts answering. Returns the bound
    // endpoint with any wildcard port resolved. Throws std::runtime_error
    // naming the address and the reason when it cannot bind, including an
    // ipc:// path that a running server still serves.
    // control_address, when given, is bound the same way for the run-time
    // control; control_endpoint() then reports it.
    std::string start(const std::string& address, const std::string& control_address = {});
    // Stops answering and joins the server thread; replies held back by
    // faults are dropped, and the socket files of ipc:// endpoints are
    // removed. Prompt, and safe to call more than once.
    void stop();

    const std::string& endpoint() const { return m_endpoint; }
    const std::string& control_endpoint() const { return m_control_endpoint; }
    FaultPlan& faults() { return *m_faults; }
    ServerState& state() { return *m_state; }
    std::uint64_t requests_answered() const { return m_requests_answered.load(); }

private:
    struct Deferred;
    struct SocketFile;

    void run(zmq::socket_t socket, zmq::socket_t control);
    void answer_requests(zmq::socket_t& socket, std::vector<Deferred>& deferred);
    void send_due(zmq::socket_t& socket, std::vector<Deferred>& deferred, RequestHandler::Clock::time_point now);
    void send_reply(zmq::socket_t& socket, Deferred& reply);
    void answer_control(zmq::socket_t& control);

    std::shared_ptr<ServerState> m_state;
    std::shared_ptr<FaultPlan> m_faults;
    RequestHandler m_handler;  // server thread only
    RequestLog m_request_log;  // set before start, then read by the server thread only
    StopHandler m_stop_handler;  // set before start, then read by the server thread only
    zmq::context_t m_context;
    std::string m_endpoint;
    std::string m_control_endpoint;
    std::vector<SocketFile> m_socket_files;  // ipc:// files bound, removed by stop()
    std::thread m_thread;

    std::atomic<bool> m_stop_requested{false};
    std::atomic<std::uint64_t> m_requests_answered{0};
};

}  // namespace reference_server
