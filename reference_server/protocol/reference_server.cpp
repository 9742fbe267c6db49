#include "reference_server/protocol/reference_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <zmq_addon.hpp>

#include "common/runtime/active_object.h"
#include "common/runtime/logger.h"
#include "reference_server/protocol/control_command.h"

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

// The socket file a bound ipc:// endpoint made, known by its identity so
// that only that file is removed: another server may have taken the path
// over since.
struct ReferenceServer::SocketFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;

    static std::optional<SocketFile> of(const std::string& endpoint) {
        if (endpoint.rfind("ipc://", 0) != 0) {
            return std::nullopt;
        }
        SocketFile file{endpoint.substr(6)};
        struct stat status {};
        if (::lstat(file.path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
            return std::nullopt;
        }
        file.device = status.st_dev;
        file.inode = status.st_ino;
        return file;
    }

    void remove() const {
        struct stat status {};
        if (::lstat(path.c_str(), &status) == 0 && status.st_dev == device && status.st_ino == inode) {
            ::unlink(path.c_str());
        }
    }
};

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

// A reply waiting for its time, with the routing frames that address it.
struct ReferenceServer::Deferred {
    RequestHandler::Clock::time_point due;
    std::vector<zmq::message_t> routing;
    zmq::message_t reply;
    RequestRecord record;

    // The heap's order: the next due on top.
    static bool later(const Deferred& a, const Deferred& b) { return a.due > b.due; }
};

ReferenceServer::ReferenceServer(ServerSettings settings)
    : ReferenceServer(std::move(settings), &reference_server::call_read) {}

ReferenceServer::ReferenceServer(ServerSettings settings, CallRead call_read)
    : m_state(std::make_shared<ServerState>(settings)),
      m_faults(std::make_shared<FaultPlan>(settings)),
      m_handler(m_state, m_faults, std::move(call_read)),
      m_context(1) {}

ReferenceServer::~ReferenceServer() { stop(); }

void ReferenceServer::set_stop_handler(StopHandler handler) {
    m_stop_handler = std::move(handler);
}

void ReferenceServer::set_request_log(RequestLog log) {
    m_handler.set_record_reply_text(static_cast<bool>(log));
    m_request_log = std::move(log);
}

std::string ReferenceServer::start(const std::string& address, const std::string& control_address) {
    if (m_thread.joinable()) {
        throw std::runtime_error("reference server already started on " + m_endpoint);
    }
    const auto endpoint = bind_endpoint(address);
    zmq::socket_t socket(m_context, zmq::socket_type::router);
    socket.set(zmq::sockopt::linger, 0);
    bind_or_explain(socket, endpoint);
    zmq::socket_t control;
    if (!control_address.empty()) {
        const auto control_bind = bind_endpoint(control_address);
        control = zmq::socket_t(m_context, zmq::socket_type::rep);
        control.set(zmq::sockopt::linger, 0);
        bind_or_explain(control, control_bind);
        m_control_endpoint = control.get(zmq::sockopt::last_endpoint);
    }
    m_endpoint = socket.get(zmq::sockopt::last_endpoint);
    m_socket_files.clear();
    for (const std::string& bound : {m_endpoint, m_control_endpoint}) {
        if (auto file = SocketFile::of(bound)) {
            m_socket_files.push_back(std::move(*file));
        }
    }
    m_stop_requested = false;
    m_handler.start_calling();
    m_thread = std::thread(&ReferenceServer::run, this, std::move(socket), std::move(control));
    return m_endpoint;
}

void ReferenceServer::stop() {
    m_stop_requested = true;
    if (m_thread.joinable()) {
        m_thread.join();
        m_handler.stop_calling();
        // The sockets closed with the thread, but ZeroMQ closes their
        // listeners later on its own thread. Ending the context waits for
        // that, so the endpoint is free once stop returns and a new server
        // may bind it at once; a fresh context serves a later start.
        m_context.close();
        m_context = zmq::context_t(1);
        // ZeroMQ leaves an ipc:// socket file behind.
        for (const SocketFile& file : m_socket_files) {
            file.remove();
        }
        m_socket_files.clear();
    }
}

void ReferenceServer::run(zmq::socket_t socket, zmq::socket_t control) {
    common::set_current_thread_name("ref_server");
    std::vector<Deferred> deferred;  // a heap, the next due first
    std::vector<zmq::pollitem_t> items = {{socket.handle(), 0, ZMQ_POLLIN, 0}};
    if (control) {
        items.push_back({control.handle(), 0, ZMQ_POLLIN, 0});
    }
    while (!m_stop_requested.load()) {
        try {
            auto now = RequestHandler::Clock::now();
            send_due(socket, deferred, now);
            m_handler.tick(now);
            auto wait = poll_interval;
            if (!deferred.empty()) {
                wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(deferred.front().due - now),
                                  std::chrono::milliseconds(0), poll_interval);
            }
            if (zmq::poll(items, wait) == 0) {
                continue;
            }
            if (items[0].revents & ZMQ_POLLIN) {
                answer_requests(socket, deferred);
            }
            if (items.size() > 1 && (items[1].revents & ZMQ_POLLIN)) {
                answer_control(control);
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
    // Replies still held back are dropped with the socket.
}

void ReferenceServer::answer_requests(zmq::socket_t& socket, std::vector<Deferred>& deferred) {
    // A bounded number per turn, so that due replies and the control socket
    // are not starved by a busy client.
    constexpr int max_requests_per_turn = 64;
    for (int i = 0; i < max_requests_per_turn && !m_stop_requested.load(); ++i) {
        std::vector<zmq::message_t> parts;
        if (!zmq::recv_multipart(socket, std::back_inserter(parts), zmq::recv_flags::dontwait)) {
            return;
        }
        // A REQ client's request: its routing id, an empty delimiter, the
        // request frame. Everything up to the delimiter goes back unchanged.
        std::size_t body = 1;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            if (parts[k].size() == 0) {
                body = k + 1;
                break;
            }
        }
        body = std::min(body, parts.size());
        Deferred reply;
        const auto now = RequestHandler::Clock::now();
        RequestHandler::Outcome outcome;
        if (parts.size() - body == 1) {
            outcome = m_handler.handle(std::move(parts[body]), now);
        } else {
            // Only answered and logged with the request: a warning on
            // standard error per request would let a client fill a pipe
            // nobody reads and stop the server.
            const std::string reason =
                "Request of " + std::to_string(parts.size() - body) + " frames; a request is one frame.";
            ipc_tools::Message(ipc_tools::MessageType::BAD_REQUEST, "", 0, reason).release_into(outcome.reply);
            outcome.record.reply = ipc_tools::MessageType::BAD_REQUEST;
            outcome.record.reply_text = reason;
        }
        parts.resize(body);
        reply.routing = std::move(parts);
        reply.reply = std::move(outcome.reply);
        reply.record = std::move(outcome.record);
        reply.due = now + outcome.delay;
        if (outcome.delay.count() > 0) {
            deferred.push_back(std::move(reply));
            std::push_heap(deferred.begin(), deferred.end(), &Deferred::later);
        } else {
            send_reply(socket, reply);
        }
    }
}

void ReferenceServer::send_due(zmq::socket_t& socket,
                               std::vector<Deferred>& deferred,
                               RequestHandler::Clock::time_point now) {
    while (!deferred.empty() && deferred.front().due <= now) {
        std::pop_heap(deferred.begin(), deferred.end(), &Deferred::later);
        Deferred reply = std::move(deferred.back());
        deferred.pop_back();
        send_reply(socket, reply);
    }
}

void ReferenceServer::send_reply(zmq::socket_t& socket, Deferred& reply) {
    // A ROUTER drops a reply whose client has gone; it never blocks.
    for (zmq::message_t& part : reply.routing) {
        socket.send(part, zmq::send_flags::sndmore);
    }
    socket.send(reply.reply, zmq::send_flags::none);
    ++m_requests_answered;
    if (m_request_log) {
        m_request_log(reply.record);
    }
}

void ReferenceServer::answer_control(zmq::socket_t& control) {
    std::vector<zmq::message_t> parts;
    if (!zmq::recv_multipart(control, std::back_inserter(parts), zmq::recv_flags::dontwait)) {
        return;
    }
    const std::string command = parts.empty() ? std::string() : parts.front().to_string();
    bool stop = false;
    const std::string answer = run_control_command(command, *m_faults, *m_state, m_requests_answered.load(),
                                                   &m_handler.alignment(), m_stop_handler ? &stop : nullptr);
    control.send(zmq::buffer(answer), zmq::send_flags::none);
    if (stop) {
        m_stop_handler();
    }
}

}  // namespace reference_server
