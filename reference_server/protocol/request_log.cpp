#include "reference_server/protocol/request_log.h"

#include "reference_server/settings/utf8_text.h"

namespace reference_server {

std::string request_log_line(const RequestRecord& record, int verbosity) {
    std::string line = std::string(ipc_tools::to_string(record.request));
    if (!record.client_id.empty()) {
        line += " client=" + escaped_for_log(record.client_id);
    }
    line += " -> ";
    line += record.reply == ipc_tools::MessageType::UNSET && !record.fault.empty()
                ? std::string("(raw frame)")
                : std::string(ipc_tools::to_string(record.reply));
    if (!record.fault.empty()) {
        line += " [fault: " + record.fault + "]";
    }
    if (verbosity >= 2) {
        line += " value=" + std::to_string(record.value) + " text=\"" + escaped_for_log(record.text) +
                "\" reply_text=\"" + escaped_for_log(record.reply_text) + "\"";
    }
    return line;
}

}  // namespace reference_server
