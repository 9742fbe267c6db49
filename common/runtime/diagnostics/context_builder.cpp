#include "common/runtime/diagnostics/context_builder.h"

#include <boost/filesystem/path.hpp>

#include "common/runtime/diagnostics/trace_configuration.h"
#include "common/runtime/logger.h"

namespace common::diagnostics::tracing {

bool is_portable_name_tag(const std::string& name) {
    // The letters around the name make the test judge the name's own
    // characters, not its place in a file name (a leading "-", a dot).
    return boost::filesystem::portable_name("A" + name + "a.txt");
}

ContextBuilder& ContextBuilder::instance() {
    static ContextBuilder builder;
    return builder;
}

void ContextBuilder::set_custom_output(OutputFunction output) {
    std::lock_guard lock(m_mutex);
    m_custom_output = std::move(output);
}

void ContextBuilder::set_configuration_file(const std::filesystem::path& path) {
    std::lock_guard lock(m_mutex);
    m_configuration_file = path;
}

void ContextBuilder::set_trace_folder(const std::filesystem::path& folder) {
    std::lock_guard lock(m_mutex);
    m_trace_folder = folder;
}

void ContextBuilder::set_name(const std::string& name) {
    if (!is_portable_name_tag(name)) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_name = name;
}

void ContextBuilder::set_name(std::int32_t number) {
    if (number >= 0) {
        set_name(std::to_string(number));
    }
}

void ContextBuilder::initialise() {
    bool expected = false;
    if (!m_initialised.compare_exchange_strong(expected, true)) {
        return;
    }
    OutputFunction output;
    std::filesystem::path folder;
    std::filesystem::path configuration_file;
    std::string name;
    TraceMode default_mode;
    {
        std::lock_guard lock(m_mutex);
        output = m_custom_output;
        folder = m_trace_folder;
        configuration_file = m_configuration_file;
        name = m_name;
        default_mode = m_default_mode;
    }
    auto writer = ActiveTraceContext::instance();
    writer->set_custom_output(std::move(output));
    writer->set_folder_and_name(std::move(folder), std::move(name));

    auto& configuration = TraceConfiguration::instance();
    configuration.set_default_mode(default_mode);
    if (!configuration_file.empty() && !configuration.read_file(configuration_file.string())) {
        QOR_LOG_INFO("Could not read trace configuration file: " << configuration_file.string());
    }
}

}  // namespace common::diagnostics::tracing
