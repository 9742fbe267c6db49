#pragma once

// What the client facade tells tracing: an output function for the
// "custom" mode, a configuration file, the trace folder and a client name
// for trace file names. initialise() applies it, once per process.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "common/runtime/diagnostics/active_trace_context.h"
#include "common/runtime/diagnostics/trace_mode.h"

namespace common::diagnostics::tracing {

// Whether a client name may stand in trace file names: only ASCII letters,
// digits, ".", "_" and "-".
bool is_portable_name_tag(const std::string& name);

class AbstractContextBuilder {
public:
    virtual void set_custom_output(OutputFunction output) = 0;
    virtual void set_configuration_file(const std::filesystem::path& path) = 0;
    virtual void set_trace_folder(const std::filesystem::path& folder) = 0;
    // Kept only when it can stand in a portable file name (ASCII letters,
    // digits, ".", "_", "-"); otherwise the previous name stays.
    virtual void set_name(const std::string& name) = 0;
    // A non-negative number becomes its decimal text; a negative one is ignored.
    virtual void set_name(std::int32_t number) = 0;
    virtual void initialise() = 0;
    virtual ~AbstractContextBuilder() = default;
};

// Any thread; only the first initialise() of the process has an effect.
class ContextBuilder final : public AbstractContextBuilder {
public:
    static ContextBuilder& instance();

    void set_custom_output(OutputFunction output) override;
    void set_configuration_file(const std::filesystem::path& path) override;
    void set_trace_folder(const std::filesystem::path& folder) override;
    void set_name(const std::string& name) override;
    void set_name(std::int32_t number) override;
    void initialise() override;

private:
    ContextBuilder() = default;

    std::mutex m_mutex;
    // Guarded by m_mutex:
    TraceMode m_default_mode = TraceMode::verbose_log;
    OutputFunction m_custom_output = [](const std::string&) {};
    std::filesystem::path m_configuration_file;
    std::filesystem::path m_trace_folder;
    std::string m_name;

    std::atomic<bool> m_initialised{false};
};

}  // namespace common::diagnostics::tracing
