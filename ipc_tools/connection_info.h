#pragma once

// What a client tells the server about itself: the description the CONNECT
// request carries and the index text of LOAD_INDEX.

#include <cstdint>
#include <optional>
#include <string>

#include "data_wrappers/metadata.h"

namespace ipc_tools {

// A plain value, copied freely: the client facade fills it, the connection
// protocol keeps a copy.
struct ConnectionInfo {
    std::string config;  // basecalling configuration or model set
    std::string client_name;
    std::string barcode_kits;  // quoted when the server refuses a kit
    std::string align_ref;     // alignment index file; may be empty
    std::string minimap_opt_string;
    std::string bed_file;  // may be empty
    std::int32_t priority = 1;  // apps::Read::Priority, medium by default
    vesk::data_wrappers::v3::Metadata params;
    std::uint32_t timeout_interval = 0;
};

// Nothing when every value of `info` can be written into the CONNECT and
// LOAD_INDEX texts; else the first refusal, naming the field or parameter
// and the character. A '>' in any value (the configuration name, the client
// name, kits, paths, aligner options, every string parameter the server
// takes) would start an item of its own on the server's side, and a ':' in
// the configuration name would end the name early.
std::optional<std::string> connection_text_refusal(const ConnectionInfo& info);

// The CONNECT text: config + ":" + the items timeout_interval, client_name
// and those parameters the server takes, in a fixed order, for example
// "cfg_a:>timeout_interval=30>client_name=run7>move_enabled=1".
// Makes align_ref and bed_file absolute in place first; a relative path
// must name an existing file, else std::runtime_error "Error while
// converting relative path " + path + " to file: " + the system's reason.
// Throws std::invalid_argument with the text of connection_text_refusal
// rather than write a value that would be read as more than one.
std::string to_connect_text(ConnectionInfo& info);

// The CONNECT request's value for a read priority: the server ranks the
// other way round, so high (0) is sent as 2, medium (1) as 1, low (2) as 0;
// values from 3 up are sent unchanged.
std::int32_t connect_priority_code(std::int32_t priority) noexcept;

// The read priority a CONNECT value stands for, as the server reads it:
// the inverse of connect_priority_code for the three known priorities;
// any other value is taken unchanged.
std::int32_t priority_of_connect_code(std::int32_t code) noexcept;

// The LOAD_INDEX text: align_ref, plus ":>minimap_opt_string=" + options
// when there are options. Throws std::invalid_argument when either holds '>'.
std::string to_load_index_text(const ConnectionInfo& info);

}  // namespace ipc_tools
