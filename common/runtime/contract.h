#pragma once

// Contract violations: a broken precondition or an illegal state transition
// is logged at error severity with its condition and source location, and
// ends the process.
//
//   QOR_EXPECTS(count > 0, "a batch needs at least one read");

#include <string>

namespace common {

// Builds the report (message, then file:line and the quoted condition on the
// next line) and hands it to the process-wide handler. Does not return.
[[noreturn]] void raise_contract_violation(const std::string& condition,
                                           const std::string& message,
                                           const std::string& file,
                                           int line);

class ContractViolationHandler {
public:
    static ContractViolationHandler& instance();

    // Logs "\nContract violation. " + report at error severity and ends the
    // process through std::terminate. Any thread.
    [[noreturn]] void handle_violation(const std::string& report);

private:
    ContractViolationHandler() = default;
};

}  // namespace common

#define QOR_EXPECTS(condition, message)                                                    \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            ::common::raise_contract_violation(#condition, (message), __FILE__, __LINE__); \
        }                                                                                  \
    } while (false)

// An unconditional violation, for states that must never be reached.
#define QOR_CONTRACT_VIOLATION(condition_text, message) \
    ::common::raise_contract_violation((condition_text), (message), __FILE__, __LINE__)
