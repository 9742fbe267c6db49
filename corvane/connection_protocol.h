#pragma once

// Registers one client on its basecall server and unregisters it.
//
// establish_server_connection makes the server load the configuration, the
// optional alignment index and the optional BED file, one request at a time
// (polling every 500 ms while the server answers LOADING), fetches the
// configuration's details and the index's SAM header, and sends CONNECT. It
// moves the client's connection state through preparing_connection,
// loading_config, loading_alignment_index, loading_bed_file, connecting and
// connected, always in that order, also when no index or BED file is used.
// On success it hands out the adapter the read exchange then uses; on
// failure it returns null and last_error() says why.
//
// Threads: only the client's worker thread calls the operations that talk
// to the server. The accessors return references into this object: copy
// them on the worker thread, and do not read them after a failed attempt
// (they may still hold an earlier attempt's values). request_stop and
// stop_requested may come from any thread: a stop ends the wait between
// LOADING polls and any wait for a reply at once, and the attempt then
// fails.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/runtime/diagnostics/tracing.h"
#include "corvane/abstract_connection_protocol.h"
#include "corvane/client_status.h"
#include "corvane/request_broker_adapter.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/message_type.h"

namespace corvane {

class ClientConnectionState;

class ConnectionProtocol final : public AbstractConnectionProtocol,
                                 public common::diagnostics::tracing::TraceDomain<ConnectionProtocol> {
public:
    // `state` must outlive the protocol; only set_status is called on it.
    explicit ConnectionProtocol(ClientConnectionState& state);
    ~ConnectionProtocol() override;
    ConnectionProtocol(const ConnectionProtocol&) = delete;
    ConnectionProtocol& operator=(const ConnectionProtocol&) = delete;

    void set_connection_params(const std::string& address, unsigned int timeout) override;
    RequestBrokerAdapter* establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                      unsigned int file_load_timeout) override;
    const ConfigDetails& config_details() const override { return m_config_details; }
    const ipc_tools::ConnectedInfo& server_details() const override { return m_server_details; }
    const std::string& alignment_file_header() const override { return m_alignment_file_header; }
    const ConnectionErrorInfo& last_error() const override { return m_last_error; }
    void disconnect_from_server() const override;

    // Any thread. Final: every later wait between polls ends at once.
    void request_stop();
    bool stop_requested() const;
    // Worker thread. Waits until `until` or a stop request; false when stopped.
    bool wait_or_stop(std::chrono::steady_clock::time_point until);

private:
    bool make_paths_absolute();
    bool load_file_on_server(ipc_tools::MessageType request_type, const std::string& file);
    bool try_load_on_server(ipc_tools::MessageType request_type, const std::string& file);
    bool retrieve_config_details(const std::string& config_name);
    bool load_alignment_index();
    bool retrieve_alignment_file_header(const std::string& index_path);
    bool connect();
    bool try_get_server_internal_state(std::string& state_text);
    // Sends a request; on a transport failure copies the adapter's error.
    bool exchange(ipc_tools::Message& request, ipc_tools::Message& reply);

    ClientConnectionState& m_connection_state;
    ConnectionErrorInfo m_last_error;
    // Sending changes the adapter's own error record, also when unregistering.
    mutable RequestBrokerAdapter m_adapter;
    std::string m_address;
    unsigned int m_timeout = 0;  // ms
    ConfigDetails m_config_details;
    ipc_tools::ConnectedInfo m_server_details;
    std::string m_alignment_file_header;
    ipc_tools::ConnectionInfo m_connection_info;
    unsigned int m_file_load_timeout = 0;  // s
    bool m_attempted = false;              // a connection attempt was made

    mutable std::mutex m_stop_mutex;
    std::condition_variable m_stop_requested;  // signalled once, by request_stop
    bool m_stop = false;                       // guarded by m_stop_mutex
};

}  // namespace corvane
