#pragma once

// A component that can describe its current state on demand, and the
// process-wide registry where providers are listed by name.

#include <mutex>
#include <string>
#include <vector>

#include "common/runtime/diagnostics/state_logger.h"

namespace common::diagnostics::state {

class StateProvider {
public:
    virtual ~StateProvider() = default;
    // Writes the provider's entries; takes the provider's own lock.
    virtual void log_state(StateLogger& logger) const = 0;
};

namespace context {
struct StateLogging : tracing::TraceDomain<StateLogging> {};
}  // namespace context

// Any thread. A name may hold several providers.
void register_provider(StateProvider* provider, const std::string& name);
// Removes the first registration of provider under name; nothing else.
void unregister_provider(StateProvider* provider, const std::string& name);
// The providers registered under name, in registration order.
std::vector<StateProvider*> registered_providers(const std::string& name);

// Holds one registration; moving it moves the registration, destroying it
// unregisters.
class StateProviderRegistration {
public:
    StateProviderRegistration() = default;
    StateProviderRegistration(StateProvider* provider, std::string name);
    ~StateProviderRegistration();
    StateProviderRegistration(StateProviderRegistration&& other) noexcept;
    StateProviderRegistration& operator=(StateProviderRegistration&& other) noexcept;
    StateProviderRegistration(const StateProviderRegistration&) = delete;
    StateProviderRegistration& operator=(const StateProviderRegistration&) = delete;

private:
    void release();

    StateProvider* m_provider = nullptr;
    std::string m_name;
};

}  // namespace common::diagnostics::state
