#pragma once

// What the server says about a new connection: the CONNECTED reply's text,
// completed by the device names of its internal-state report.

#include <optional>
#include <string>
#include <string_view>

namespace ipc_tools {

struct ConnectedInfo {
    std::string server_version;
    std::string minimap_version;  // the server's aligner version
    // Sorted, without duplicates, joined by "|"; empty when none are known.
    std::string device_names;
    // The connection id: every later message of this connection carries it.
    std::string client_uid;

    // From a CONNECTED text holding client_uid, server_version and
    // minimap_version (other keys are ignored); nothing when the text does
    // not parse or a key is missing. device_names stays empty.
    static std::optional<ConnectedInfo> parse(std::string_view text);
};

// Fills device_names from the server's internal-state report (JSON): the
// names of the devices under "CUDA Devices" and "Metal Devices" of
// "ServerInformation". Anything missing or malformed gives no names.
void set_device_names(ConnectedInfo& info, std::string_view json);

}  // namespace ipc_tools
