#pragma once

// Tracing: per-class trace domains, scopes and events.
//
//   class RequestBroker : public common::diagnostics::tracing::TraceDomain<RequestBroker> { ... };
//
//   void RequestBroker::send_request(...) {
//       common::diagnostics::tracing::TraceScope scope(trace_context(), "send_request", true);
//       scope.trace([&] { return "type " + name; });   // built only when traced
//   }
//
// A class has two domains: its type name ("ipc_tools::RequestBroker") and
// the high-frequency "hftrace::" + type name, for per-read or per-message
// operations. Each domain's context is resolved once, on first use, from the
// trace configuration; an untraced domain gets the shared disabled context,
// whose operations cost one virtual call and build no text.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

namespace common::diagnostics::tracing {

namespace details {

// Per-domain context. Operations of an enabled context build one line each
// on the calling thread and post it to the trace writer.
class TraceContext {
public:
    virtual void enter(std::string_view name) = 0;
    virtual void leave(std::string_view name, std::int64_t elapsed_ns) = 0;
    virtual void leave(std::string_view name) = 0;
    virtual void trace(std::string_view name, std::string_view text, std::int64_t value_ns) = 0;
    // make_text is called only when the context is enabled.
    virtual void trace(std::string_view name, std::function<std::string()> make_text) = 0;
    virtual void trace(std::string_view name, std::string_view text) = 0;
    virtual bool is_enabled() const = 0;
    virtual ~TraceContext() = default;
};

// The context of a domain, resolved against the trace configuration.
std::shared_ptr<TraceContext> resolve_domain(const std::string& domain_name);

// The type name of T without any "class " or "struct ".
std::string domain_name_of(const char* mangled_type_name);

}  // namespace details

// Base of every traced class (or tag type, for free functions).
template <class T>
class TraceDomain {
public:
    static details::TraceContext& trace_context() {
        static const std::shared_ptr<details::TraceContext> context =
            details::resolve_domain(details::domain_name_of(typeid(T).name()));
        return *context;
    }
    static details::TraceContext& hf_trace_context() {
        static const std::shared_ptr<details::TraceContext> context =
            details::resolve_domain("hftrace::" + details::domain_name_of(typeid(T).name()));
        return *context;
    }
};

// Opened at the start of an operation: enter on construction, leave (with
// the elapsed time when timed) on destruction.
class TraceScope {
public:
    TraceScope(details::TraceContext& context, std::string_view name, bool timed = false);
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    void trace(std::string_view text) { m_context.trace(m_name, text); }
    void trace(std::function<std::string()> make_text) { m_context.trace(m_name, std::move(make_text)); }
    bool is_enabled() const { return m_context.is_enabled(); }

private:
    details::TraceContext& m_context;
    std::string_view m_name;
    bool m_timed;
    std::int64_t m_start_ns = 0;
};

}  // namespace common::diagnostics::tracing
