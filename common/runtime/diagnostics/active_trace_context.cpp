#include "common/runtime/diagnostics/active_trace_context.h"

#include <limits.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <future>
#include <iostream>
#include <stdexcept>

#include "common/runtime/console_output.h"
#include "common/runtime/logger.h"

namespace common::diagnostics::tracing {

namespace {

constexpr const char* trace_extension = ".trace";

std::filesystem::path executable_path() {
    char buffer[PATH_MAX];
    const auto length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        throw std::runtime_error("Could not determine process name");
    }
    return std::filesystem::path(std::string(buffer, static_cast<std::size_t>(length)));
}

const std::string& process_name() {
    static const std::string name = executable_path().filename().string();
    return name;
}

std::string utc_time_text() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%F_T%H-%M-%S", &parts);
    return text;
}

// Linux has no debugger output channel; the system log at debug priority
// is the nearest facility that debugging tools collect.
void write_debug_output(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string piece = process_name() + " " + text.substr(start, end - start);
        ::syslog(LOG_USER | LOG_DEBUG, "%s", piece.c_str());
        start = end + 1;
    }
}

}  // namespace

std::shared_ptr<ActiveTraceContext> ActiveTraceContext::instance() {
    static const std::shared_ptr<ActiveTraceContext> writer = [] {
        const char* folder = std::getenv("QOR_BASECALL_TRACE_FOLDER");
        return std::make_shared<ActiveTraceContext>(folder ? std::filesystem::path(folder)
                                                           : std::filesystem::path());
    }();
    return writer;
}

ActiveTraceContext::ActiveTraceContext(std::filesystem::path trace_folder, std::uintmax_t max_file_size)
    : m_folder(std::move(trace_folder)),
      m_max_file_size(max_file_size),
      m_active(std::make_unique<ActiveObject>(ActiveObjectParams{"tracing", {}, 1, 1000})) {}

ActiveTraceContext::~ActiveTraceContext() {
    m_active->join();
    m_file.close();
}

void ActiveTraceContext::post(TraceMode mode, std::string line) {
    m_active->post([this, mode, line = std::move(line)] { write(mode, line); });
}

void ActiveTraceContext::set_custom_output(OutputFunction output) {
    m_active->post([this, output = std::move(output)]() mutable { m_custom_output = std::move(output); });
}

void ActiveTraceContext::set_folder_and_name(std::filesystem::path folder, std::string name) {
    m_active->post([this, folder = std::move(folder), name = std::move(name)] {
        if (m_folder.empty()) {
            m_folder = folder;
        }
        if (!name.empty()) {
            m_name_tag = "_" + name;
        }
    });
}

void ActiveTraceContext::flush() {
    std::promise<void> written;
    auto done = written.get_future();
    m_active->post([&written] { written.set_value(); });
    done.wait();
}

void ActiveTraceContext::write(TraceMode mode, const std::string& line) {
    switch (mode) {
    case TraceMode::verbose_log:
        QOR_LOG_VERBOSE(line);
        break;
    case TraceMode::trace_file:
        write_to_file(line);
        break;
    case TraceMode::std_out:
        write_console_line(std::cout, line);
        break;
    case TraceMode::std_err:
        write_console_line(std::cerr, line);
        break;
    case TraceMode::win_dbg_out:
        write_debug_output(line);
        break;
    case TraceMode::custom:
        if (m_custom_output) {
            m_custom_output(line);
        }
        break;
    case TraceMode::none:
    case TraceMode::exclude:
        break;
    }
}

void ActiveTraceContext::write_to_file(const std::string& line) {
    if (m_file.is_open() && m_file_size >= m_max_file_size) {
        open_next_file();
    }
    if (!m_file.is_open()) {
        open_first_file();
    }
    if (!m_file.is_open()) {
        return;
    }
    m_file << line << '\n';
    m_file.flush();
    m_file_size += line.size() + 1;
}

void ActiveTraceContext::open_first_file() {
    m_base_name = executable_path().stem().string() + m_name_tag + "_" + utc_time_text() + "_";
    open_next_file();
}

void ActiveTraceContext::open_next_file() {
    if (m_file.is_open()) {
        m_file.close();
    }
    if (m_folder.empty()) {
        return;
    }
    const auto path = m_folder / (m_base_name + std::to_string(m_file_counter) + trace_extension);
    ++m_file_counter;
    // A missing folder is made rather than losing every line.
    std::error_code ignored;
    std::filesystem::create_directories(m_folder, ignored);
    m_file.clear();
    m_file.open(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!m_file.is_open()) {
        if (!m_open_failure_reported) {
            m_open_failure_reported = true;
            QOR_LOG_WARNING("Could not open trace file " << path.string() << "; trace lines are dropped");
        }
        return;
    }
    std::error_code size_error;
    const auto size = std::filesystem::file_size(path, size_error);
    m_file_size = size_error ? 0 : size;
}

}  // namespace common::diagnostics::tracing
