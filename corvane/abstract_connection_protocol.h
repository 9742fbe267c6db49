#pragma once

// The registration conversation of one client, as the worker drives it:
// load what the client asked for, connect, and later say goodbye. The
// adapter a successful attempt hands out carries the read exchange.

#include <string>

#include "corvane/client_status.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"

namespace corvane {

class RequestBrokerAdapter;

// The details of the configuration a client asked for.
struct ConfigDetails {
    std::string config_name;  // as requested, not as the server spells it
    std::string model_version_id;
    std::string modbase_model_version_id;
    bool duplex = false;
};

class AbstractConnectionProtocol {
public:
    virtual ~AbstractConnectionProtocol() = default;

    // Where the server is, and how long (ms) to wait for each reply.
    virtual void set_connection_params(const std::string& address, unsigned int timeout) = 0;
    // One whole connection attempt; file_load_timeout is in seconds.
    virtual RequestBrokerAdapter* establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                              unsigned int file_load_timeout) = 0;
    virtual const ConfigDetails& config_details() const = 0;
    virtual const ipc_tools::ConnectedInfo& server_details() const = 0;
    // Empty when no alignment index is used.
    virtual const std::string& alignment_file_header() const = 0;
    // Why the last attempt returned null; no_error after a success.
    virtual const ConnectionErrorInfo& last_error() const = 0;
    // Tells the server this client is leaving; failures are only logged.
    // Not when the last request went unanswered.
    virtual void disconnect_from_server() const = 0;
};

}  // namespace corvane
