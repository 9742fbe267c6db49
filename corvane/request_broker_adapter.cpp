#include "corvane/request_broker_adapter.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <system_error>

#include <zmq.hpp>

namespace corvane {

namespace {

using common::diagnostics::tracing::TraceScope;

}  // namespace

RequestBrokerAdapter::RequestBrokerAdapter() { TraceScope scope(trace_context(), "RequestBrokerAdapter"); }

RequestBrokerAdapter::~RequestBrokerAdapter() = default;

bool RequestBrokerAdapter::prepare_connection(const std::string& address, unsigned int timeout) {
    // The broker waits in a signed millisecond count; anything longer is
    // already far beyond any useful reply wait.
    const auto timeout_ms = static_cast<std::int32_t>(
        std::min<unsigned int>(timeout, static_cast<unsigned int>(std::numeric_limits<std::int32_t>::max())));
    return invoke([&] { m_broker.prepare_connection(address, timeout_ms); });
}

bool RequestBrokerAdapter::send_request(ipc_tools::Message& request, ipc_tools::Message& reply) {
    return invoke([&] { m_broker.send_request(request, reply); });
}

bool RequestBrokerAdapter::send_request_within(ipc_tools::Message& request,
                                               ipc_tools::Message& reply,
                                               std::chrono::milliseconds within) {
    return invoke([&] { m_broker.send_request_within(request, reply, within); });
}

bool RequestBrokerAdapter::ping_server_if_quiet(const std::string& connection_id) {
    return invoke([&] { m_broker.ping_server_if_quiet(connection_id); });
}

bool RequestBrokerAdapter::invoke_erased(void* callable, void (*run)(void*)) {
    m_last_error = ConnectionErrorInfo{};
    try {
        run(callable);
        return true;
    } catch (const ipc_tools::BadReply& error) {
        m_last_error = {ConnectionError::bad_reply, error.what()};
    } catch (const ipc_tools::BadRequest& error) {
        m_last_error = {ConnectionError::bad_request, error.what()};
    } catch (const ipc_tools::TimeoutError& error) {
        m_last_error = {ConnectionError::timed_out, error.what()};
    } catch (const ipc_tools::InvalidResponse& error) {
        m_last_error = {ConnectionError::invalid_response, error.what()};
    } catch (const std::system_error& error) {
        m_last_error = {ConnectionError::failed, "std::system_error[" + std::string(error.code().category().name()) +
                                                     ":" + std::to_string(error.code().value()) +
                                                     "] : " + error.what()};
    } catch (const zmq::error_t& error) {
        m_last_error = {ConnectionError::failed, std::string("zmq::error_t : ") + error.what()};
    }
    hf_trace_context().trace("invoke", [this] { return to_string(m_last_error); });
    return false;
}

}  // namespace corvane
