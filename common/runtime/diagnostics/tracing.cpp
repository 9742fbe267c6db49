#include "common/runtime/diagnostics/tracing.h"

#include <cxxabi.h>

#include <cstdlib>

#include "common/runtime/diagnostics/trace_configuration.h"

namespace common::diagnostics::tracing {

namespace details {

std::shared_ptr<TraceContext> resolve_domain(const std::string& domain_name) {
    return TraceConfiguration::instance().context_for(domain_name);
}

std::string domain_name_of(const char* mangled_type_name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled_type_name, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled_type_name;
    std::free(demangled);
    for (const std::string_view word : {std::string_view("class "), std::string_view("struct ")}) {
        for (auto at = name.find(word); at != std::string::npos; at = name.find(word)) {
            name.erase(at, word.size());
        }
    }
    return name;
}

}  // namespace details

TraceScope::TraceScope(details::TraceContext& context, std::string_view name, bool timed)
    // A disabled domain reads no clock: its leave ignores the time anyway.
    : m_context(context), m_name(name), m_timed(timed && context.is_enabled()) {
    if (m_timed) {
        m_start_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    }
    m_context.enter(m_name);
}

TraceScope::~TraceScope() {
    if (m_timed) {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        m_context.leave(m_name, now - m_start_ns);
    } else {
        m_context.leave(m_name);
    }
}

}  // namespace common::diagnostics::tracing
