#include "common/runtime/contract.h"

#include <exception>

#include "common/runtime/logger.h"

namespace common {

void raise_contract_violation(const std::string& condition, const std::string& message,
                              const std::string& file, int line) {
    ContractViolationHandler::instance().handle_violation(
        message + "\n" + file + ":" + std::to_string(line) + " \"" + condition + "\"");
}

ContractViolationHandler& ContractViolationHandler::instance() {
    static ContractViolationHandler handler;
    return handler;
}

void ContractViolationHandler::handle_violation(const std::string& report) {
    // A violation must be seen even in a process that never configured
    // logging (a query function used on its own, say).
    logging::initialise_logging();
    QOR_LOG_ERROR("\nContract violation. " << report);
    std::terminate();
}

}  // namespace common
