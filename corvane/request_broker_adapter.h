#pragma once

// The client engine's one way to talk to its server: a request broker whose
// transport exceptions come back as `false` plus an error record.
//
//   RequestBrokerAdapter adapter;
//   if (!adapter.send_request(request, reply)) {
//       my_error = adapter.last_error();   // copy at once: the next call resets it
//   }
//
// The mapping from exception to record lives in invoke() and nowhere else,
// so callers never catch transport errors themselves. A CLIENT_NOT_RECOGNISED
// reply arrives as timed_out, exactly like a server that stopped answering:
// both mean the connection has to be made anew.
//
// Threads: no lock. Only the owning client's worker thread calls it, and
// last_error() means something only on that thread, right after a call;
// interrupt() comes from any thread.

#include <chrono>
#include <memory>
#include <string>
#include <type_traits>

#include "common/runtime/diagnostics/tracing.h"
#include "corvane/client_status.h"
#include "ipc_tools/request_broker.h"

namespace corvane {

class RequestBrokerAdapter : public common::diagnostics::tracing::TraceDomain<RequestBrokerAdapter> {
public:
    RequestBrokerAdapter();
    ~RequestBrokerAdapter();
    RequestBrokerAdapter(const RequestBrokerAdapter&) = delete;
    RequestBrokerAdapter& operator=(const RequestBrokerAdapter&) = delete;

    // A fresh socket to `address`, proved by a ping with the connection id
    // "0"; `timeout` (ms) bounds each wait for a reply.
    bool prepare_connection(const std::string& address, unsigned int timeout);
    // Sends the request (empty afterwards) and fills `reply`, whose kind the
    // caller still has to check.
    bool send_request(ipc_tools::Message& request, ipc_tools::Message& reply);
    // send_request waiting at most `within` for the reply, even once
    // interrupted: for the DISCONNECT of a client that is stopping.
    bool send_request_within(ipc_tools::Message& request, ipc_tools::Message& reply, std::chrono::milliseconds within);
    // Pings with `connection_id` only when nothing was sent for a second.
    bool ping_server_if_quiet(const std::string& connection_id);

    // Any thread. Final: every wait for a reply ends at once, as timed_out.
    void interrupt() noexcept { m_broker.interrupt(); }
    // The last request got no reply: the socket cannot send until the next
    // prepare_connection.
    bool awaiting_reply() const noexcept { return m_broker.awaiting_reply(); }

    // Valid until the next call of the operations above.
    const ConnectionErrorInfo& last_error() const { return m_last_error; }

    // Runs `call` under the error mapping: true when it returned, false when
    // it raised a transport error (recorded in last_error). Exceptions
    // outside the mapping, such as std::bad_alloc, reach the caller.
    template <class Call>
    bool invoke(Call&& call) {
        using Callable = std::remove_reference_t<Call>;
        return invoke_erased(const_cast<void*>(static_cast<const void*>(std::addressof(call))),
                             [](void* callable) { (*static_cast<Callable*>(callable))(); });
    }

private:
    // The one catch site; kept out of the header so that ZeroMQ stays there too.
    bool invoke_erased(void* callable, void (*run)(void*));

    ipc_tools::RequestBroker m_broker;
    ConnectionErrorInfo m_last_error;
};

}  // namespace corvane
