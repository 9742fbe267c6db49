#include "common/runtime/diagnostics/state_provider.h"

#include <algorithm>
#include <map>
#include <utility>

namespace common::diagnostics::state {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::vector<StateProvider*>, std::less<>> providers;  // guarded by mutex
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

void register_provider(StateProvider* provider, const std::string& name) {
    tracing::TraceScope scope(context::StateLogging::trace_context(), "register_provider");
    scope.trace(name);
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.providers[name].push_back(provider);
}

void unregister_provider(StateProvider* provider, const std::string& name) {
    tracing::TraceScope scope(context::StateLogging::trace_context(), "unregister_provider");
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto found = r.providers.find(name);
    if (found == r.providers.end()) {
        return;
    }
    auto& list = found->second;
    if (const auto at = std::find(list.begin(), list.end(), provider); at != list.end()) {
        list.erase(at);
    }
}

std::vector<StateProvider*> registered_providers(const std::string& name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto found = r.providers.find(name);
    return found == r.providers.end() ? std::vector<StateProvider*>() : found->second;
}

StateProviderRegistration::StateProviderRegistration(StateProvider* provider, std::string name)
    : m_provider(provider), m_name(std::move(name)) {
    register_provider(m_provider, m_name);
}

StateProviderRegistration::~StateProviderRegistration() { release(); }

StateProviderRegistration::StateProviderRegistration(StateProviderRegistration&& other) noexcept
    : m_provider(std::exchange(other.m_provider, nullptr)), m_name(std::move(other.m_name)) {}

StateProviderRegistration& StateProviderRegistration::operator=(StateProviderRegistration&& other) noexcept {
    if (this != &other) {
        release();
        m_provider = std::exchange(other.m_provider, nullptr);
        m_name = std::move(other.m_name);
    }
    return *this;
}

void StateProviderRegistration::release() {
    if (m_provider) {
        unregister_provider(m_provider, m_name);
        m_provider = nullptr;
    }
}

}  // namespace common::diagnostics::state
