#pragma once

// Process-wide logging: six severities, four channel loggers (error, warning,
// info, verbose) on a Boost.Log back end, and the statement macros the rest
// of the library logs through.
//
//   QOR_LOG_WARNING("server returned " << count << " reads");
//
// A statement whose severity no target accepts is rejected before its
// message text is built. Boost.Log stays out of this header.

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace common::logging {

namespace attributes {

enum class SeverityLevel : std::uint8_t {
    trace = 0,
    verbose = 1,
    message = 2,
    info = 3,
    warning = 4,
    error = 5,
};

}  // namespace attributes

// Name text of a severity; "unknown" for values outside 0..5.
const char* severity_name(attributes::SeverityLevel level) noexcept;

// The function name printed on each line, from a full signature: cut at the
// first "(", empty whatever stands between the first "<" and the last ">",
// and drop everything up to the last space.
std::string short_function_name(std::string_view signature);

// Applies the console configuration once per process; later calls return at
// once. Until it has run, every record is dropped.
void initialise_logging();

// Whether a record of this severity would pass the core filter now.
bool is_accepted(attributes::SeverityLevel level) noexcept;

// Channel tags, one per process-wide logger.
struct error {
    static constexpr const char* channel = "error";
    static constexpr attributes::SeverityLevel default_severity = attributes::SeverityLevel::error;
};
struct warning {
    static constexpr const char* channel = "warning";
    static constexpr attributes::SeverityLevel default_severity = attributes::SeverityLevel::warning;
};
struct info {
    static constexpr const char* channel = "info";
    static constexpr attributes::SeverityLevel default_severity = attributes::SeverityLevel::info;
};
struct verbose {
    static constexpr const char* channel = "verbose";
    static constexpr attributes::SeverityLevel default_severity = attributes::SeverityLevel::verbose;
};

// One open record: the statement streams its text into stream() and calls
// push(). Empty (false) when the core rejected the record.
class LogRecord {
public:
    LogRecord() noexcept;
    LogRecord(LogRecord&&) noexcept;
    LogRecord& operator=(LogRecord&&) noexcept;
    ~LogRecord();

    explicit operator bool() const noexcept { return static_cast<bool>(m_impl); }
    std::ostream& stream();
    void push();

    struct Impl;

private:
    explicit LogRecord(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> m_impl;

    template <class Tag>
    friend LogRecord open_record(attributes::SeverityLevel level, const char* function);
};

// Opens a record through the logger of channel Tag, stamped with its
// "Channel", "Severity" and "Function" attributes.
template <class Tag>
LogRecord open_record(attributes::SeverityLevel level, const char* function);

extern template LogRecord open_record<error>(attributes::SeverityLevel, const char*);
extern template LogRecord open_record<warning>(attributes::SeverityLevel, const char*);
extern template LogRecord open_record<info>(attributes::SeverityLevel, const char*);
extern template LogRecord open_record<verbose>(attributes::SeverityLevel, const char*);

}  // namespace common::logging

#define QOR_LOG_THROUGH(tag, level, text)                                                        \
    do {                                                                                         \
        if (::common::logging::is_accepted(level)) {                                             \
            if (auto qor_log_record_ = ::common::logging::open_record<tag>(level, __PRETTY_FUNCTION__)) { \
                qor_log_record_.stream() << text;                                                \
                qor_log_record_.push();                                                          \
            }                                                                                    \
        }                                                                                        \
    } while (false)

#define QOR_LOG_ERROR(text) \
    QOR_LOG_THROUGH(::common::logging::error, ::common::logging::attributes::SeverityLevel::error, text)
#define QOR_LOG_WARNING(text) \
    QOR_LOG_THROUGH(::common::logging::warning, ::common::logging::attributes::SeverityLevel::warning, text)
#define QOR_LOG_INFO(text) \
    QOR_LOG_THROUGH(::common::logging::info, ::common::logging::attributes::SeverityLevel::info, text)
#define QOR_LOG_VERBOSE(text) \
    QOR_LOG_THROUGH(::common::logging::verbose, ::common::logging::attributes::SeverityLevel::verbose, text)
// Plain output lines (standard output, no prefix) go through the info logger.
#define QOR_LOG_MESSAGE(text) \
    QOR_LOG_THROUGH(::common::logging::info, ::common::logging::attributes::SeverityLevel::message, text)
