#include "common/runtime/diagnostics/trace_contexts.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "common/runtime/diagnostics/active_trace_context.h"

namespace common::diagnostics::tracing {

namespace {

constexpr std::string_view enter_tag = "[ENTER] ";
constexpr std::string_view leave_tag = "[LEAVE] ";
constexpr std::string_view trace_tag = "[TRACE] ";

long current_thread_os_id() {
    thread_local const long id = static_cast<long>(::syscall(SYS_gettid));
    return id;
}

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

namespace details {

std::string format_trace_time(std::int64_t ns) {
    char text[48];
    const auto micros = ns / 1000;
    std::snprintf(text, sizeof text, "%lld.%03lldms ", static_cast<long long>(ns / 1000000),
                  static_cast<long long>(micros < 0 ? -(micros % 1000) : micros % 1000));
    return text;
}

EnabledTraceContext::EnabledTraceContext(const std::string& domain_name, TraceMode mode,
                                         std::shared_ptr<ActiveTraceContext> writer)
    : m_prefix(domain_name + "::"), m_mode(mode), m_writer(std::move(writer)) {}

std::string EnabledTraceContext::start_line(std::string_view name, std::string_view tag) const {
    std::string line = format_trace_time(steady_now_ns());
    line += " thread:";
    line += std::to_string(current_thread_os_id());
    line += ' ';
    line += m_prefix;
    line += name;
    line += ' ';
    line += tag;
    return line;
}

void EnabledTraceContext::post(std::string line) { m_writer->post(m_mode, std::move(line)); }

void EnabledTraceContext::enter(std::string_view name) { post(start_line(name, enter_tag)); }

void EnabledTraceContext::leave(std::string_view name, std::int64_t elapsed_ns) {
    auto line = start_line(name, leave_tag);
    line += ' ';
    line += format_trace_time(elapsed_ns);
    post(std::move(line));
}

void EnabledTraceContext::leave(std::string_view name) { post(start_line(name, leave_tag)); }

void EnabledTraceContext::trace(std::string_view name, std::string_view text, std::int64_t value_ns) {
    auto line = start_line(name, trace_tag);
    line += ' ';
    line += text;
    line += ' ';
    line += format_trace_time(value_ns);
    post(std::move(line));
}

void EnabledTraceContext::trace(std::string_view name, std::function<std::string()> make_text) {
    const std::string text = make_text ? make_text() : std::string();
    trace(name, std::string_view(text));
}

void EnabledTraceContext::trace(std::string_view name, std::string_view text) {
    auto line = start_line(name, trace_tag);
    line += ' ';
    line += text;
    post(std::move(line));
}

}  // namespace details

}  // namespace common::diagnostics::tracing
