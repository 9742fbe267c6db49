#pragma once

// What a test client registers with on the reference server: its fast DNA
// configuration and a 30 s timeout.

#include <string>
#include <utility>

#include "ipc_tools/connection_info.h"

namespace test_support {

inline ipc_tools::ConnectionInfo fast_dna_info(std::string client_name) {
    ipc_tools::ConnectionInfo info;
    info.config = "ref_dna_fast";
    info.client_name = std::move(client_name);
    info.timeout_interval = 30;
    return info;
}

}  // namespace test_support
