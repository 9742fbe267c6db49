#include "reference_server/reference_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/logger.h"

namespace reference_server {

namespace {

// The poll wait bounds how long stop() takes, not how fast requests are
// answered: a request wakes the poll at once.
constexpr std::chrono::milliseconds poll_interval(20);

bool is_port(const std::string& text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Whether a server is accepting connections on the unix socket at path.
// ZeroMQ would silently unlink it and bind afresh, cutting that server off
// from every new client.
bool ipc_path_is_served(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (probe < 0) {
        return false;
    }
    const bool served = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(probe);
    return served;
}

std::string bind_failure_reason(const std::string& endpoint, const zmq::error_t& error) {
    const bool tcp = endpoint.rfind("tcp://", 0) == 0;
    switch (error.num()) {
    case EADDRINUSE:
        return "address in use";
    case ENODEV:
    case EINVAL:
        if (tcp) {
            return "ZeroMQ needs an IP address or `*` to listen on, not a host name";
        }
        break;
    case ENOENT:
        if (!tcp) {
            const auto folder = std::filesystem::path(endpoint.substr(6)).parent_path();
            return "folder " + folder.string() + " does not exist";
        }
        break;
    default:
        break;
    }
    return error.what();
}

void bind_or_explain(zmq::socket_t& socket, const std::string& endpoint) {
    if (endpoint.rfind("ipc://", 0) == 0 && ipc_path_is_served(endpoint.substr(6))) {
        throw std::runtime_error(endpoint + ": address in use by a running server");
    }
    try {
        socket.bind(endpoint);
    } catch (const zmq::error_t& error) {
        throw std::runtime_error(endpoint + ": " + bind_failure_reason(endpoint, error));
    }
}

}  // namespace

std::string bind_endpoint(const std::string& address) {
    if (address.rfind("tcp://", 0) == 0 || address.rfind("ipc://", 0) == 0) {
        return address;
    }
    if (address == "*" || address == "0") {
        return "tcp://127.0.0.1:*";
    }
    if (is_port(address) && std::stoi(address) <= 65535) {
        return "tcp://127.0.0.1:" + address;
    }
    if (address.rfind("inproc://", 0) == 0) {
        throw std::runtime_error("cannot listen on " + address +
                                 ": clients own their own ZeroMQ contexts and cannot reach inproc:// endpoints");
    }
    throw std::runtime_error("cannot listen on \"" + address + "\": give a port, a tcp:// or an ipc:// address");
}

ReferenceServer::ReferenceServer(ServerSettings settings)
    : m_state(std::make_shared<ServerState>(settings)),
      m_faults(std::make_shared<FaultPlan>(settings)),
      m_handler(m_state, m_faults),
      m_context(1) {}

ReferenceServer::~ReferenceServer() { stop(); }

void ReferenceServer::set_request_log(RequestLog log) {
    m_handler.set_record_reply_text(static_cast<bool>(log));
    m_request_log = std::move(log);
}

std::string ReferenceServer::start(const std::string& address) {
    if (m_thread.joinable()) {
        throw std::runtime_error("reference server already started on " + m_endpoint);
    }
    const auto endpoint = bind_endpoint(address);
    zmq::socket_t socket(m_context, zmq::socket_type::rep);
    socket.set(zmq::sockopt::linger, 0);
    bind_or_explain(socket, endpoint);
    m_endpoint = socket.get(zmq::sockopt::last_endpoint);
    {
        std::lock_guard lock(m_stop_mutex);
        m_stop = false;
    }
    m_stop_requested = false;
    m_thread = std::thread(&ReferenceServer::run, this, std::move(socket));
    return m_endpoint;
}

void ReferenceServer::stop() {
    {
        std::lock_guard lock(m_stop_mutex);
        m_stop = true;
    }
    m_stop_requested = true;
    m_stop_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool ReferenceServer::wait_unless_stopped(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_stop_mutex);
    return !m_stop_changed.wait_until(lock, std::chrono::steady_clock::now() + delay, [this] { return m_stop; });
}

RequestHandler::Outcome ReferenceServer::refuse_multipart(zmq::socket_t& socket) {
    std::size_t parts = 1;
    zmq::message_t part;
    while (socket.get(zmq::sockopt::rcvmore)) {
        static_cast<void>(socket.recv(part, zmq::recv_flags::none));
        ++parts;
    }
    const std::string reason = "Request of " + std::to_string(parts) + " frames; a request is one frame.";
    QOR_LOG_WARNING("reference server: " << reason);
    RequestHandler::Outcome outcome;
    ipc_tools::Message(ipc_tools::MessageType::BAD_REQUEST, "", 0, reason).release_into(outcome.reply);
    outcome.record.reply = ipc_tools::MessageType::BAD_REQUEST;
    outcome.record.reply_text = reason;
    return outcome;
}

void ReferenceServer::run(zmq::socket_t socket) {
    zmq::pollitem_t items[] = {{socket.handle(), 0, ZMQ_POLLIN, 0}};
    while (!m_stop_requested.load()) {
        try {
            if (zmq::poll(items, 1, poll_interval) == 0) {
                continue;
            }
            zmq::message_t request;
            if (!socket.recv(request, zmq::recv_flags::dontwait)) {
                continue;
            }
            RequestHandler::Outcome outcome;
            try {
                if (request.more()) {
                    outcome = refuse_multipart(socket);
                } else {
                    outcome = m_handler.handle(std::move(request));
                }
            } catch (const std::exception& error) {
                // The reply socket must answer before it can receive again.
                QOR_LOG_ERROR("reference server: " << error.what());
                ipc_tools::Message(ipc_tools::MessageType::BAD_REQUEST, "", 0,
                                   std::string("Server failed to handle the request: ") + error.what())
                    .release_into(outcome.reply);
                outcome.record.reply = ipc_tools::MessageType::BAD_REQUEST;
            }
            if (outcome.delay.count() > 0 && !wait_unless_stopped(outcome.delay)) {
                break;
            }
            // A reply socket may always send after a receive; when the
            // client has gone meanwhile, ZeroMQ drops the reply.
            socket.send(outcome.reply, zmq::send_flags::none);
            ++m_requests_answered;
            if (m_request_log) {
                m_request_log(outcome.record);
            }
        } catch (const zmq::error_t& error) {
            if (error.num() == ETERM) {
                break;
            }
            if (error.num() != EINTR) {
                QOR_LOG_ERROR("reference server: " << error.what());
            }
        }
    }
}

}  // namespace reference_server
