#pragma once

// The process's trace writer: one "tracing" thread writes every trace line,
// in posting order, to the output its mode names. Trace files rotate at
// 7 MiB: <executable><_name>_<UTC time>_<counter>.trace in the trace folder.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "common/runtime/active_object.h"
#include "common/runtime/diagnostics/trace_mode.h"

namespace common::diagnostics::tracing {

using OutputFunction = std::function<void(const std::string&)>;

// post() and the setters from any thread: each hands a task to the writer
// thread, so every member below the active object is touched by that
// thread only.
class ActiveTraceContext {
public:
    static constexpr std::uintmax_t default_max_file_size = 0x700000;

    // The writer of the process; its folder comes from
    // QOR_BASECALL_TRACE_FOLDER when that is set.
    static std::shared_ptr<ActiveTraceContext> instance();

    explicit ActiveTraceContext(std::filesystem::path trace_folder,
                                std::uintmax_t max_file_size = default_max_file_size);
    // Writes every line posted so far, then closes the file.
    ~ActiveTraceContext();
    ActiveTraceContext(const ActiveTraceContext&) = delete;
    ActiveTraceContext& operator=(const ActiveTraceContext&) = delete;

    // Waits while 1000 lines are pending.
    void post(TraceMode mode, std::string line);

    void set_custom_output(OutputFunction output);
    // The folder is taken only while none is set; the name tag is "_" + name
    // for a non-empty name.
    void set_folder_and_name(std::filesystem::path folder, std::string name);

    // Waits until every line posted so far has been written. Not from the
    // writer thread itself (a custom output function), which would wait for
    // ever.
    void flush();

private:
    void write(TraceMode mode, const std::string& line);
    void write_to_file(const std::string& line);
    void open_first_file();
    void open_next_file();

    OutputFunction m_custom_output;
    std::filesystem::path m_folder;
    std::string m_name_tag;
    std::string m_base_name;
    std::uintmax_t m_max_file_size;
    std::uint64_t m_file_counter = 0;
    std::ofstream m_file;
    std::uintmax_t m_file_size = 0;
    bool m_open_failure_reported = false;  // one warning per writer
    // Last, so that it is constructed after everything its thread touches.
    std::unique_ptr<ActiveObject> m_active;
};

}  // namespace common::diagnostics::tracing
