#include "common/runtime/logger.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

#include <boost/core/null_deleter.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/log/attributes/clock.hpp>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/attributes/counter.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/keywords/channel.hpp>
#include <boost/log/keywords/severity.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/utility/formatting_ostream.hpp>

#include "common/runtime/console_output.h"

namespace common::logging {

namespace logging = boost::log;
using attributes::SeverityLevel;

// Streams with this deleter are the process's own; the sinks never close them.
struct null_deleter {
    void operator()(const void*) const noexcept {}
};

const char* severity_name(SeverityLevel level) noexcept {
    switch (level) {
    case SeverityLevel::trace: return "trace";
    case SeverityLevel::verbose: return "verbose";
    case SeverityLevel::message: return "message";
    case SeverityLevel::info: return "info";
    case SeverityLevel::warning: return "warning";
    case SeverityLevel::error: return "error";
    }
    return "unknown";
}

std::string short_function_name(std::string_view signature) {
    const auto paren = signature.find('(');
    if (paren == std::string_view::npos) {
        return std::string(signature);
    }
    std::string name(signature.substr(0, paren));
    const auto open = name.find('<');
    if (open != std::string::npos) {
        const auto close = name.rfind('>');
        if (close != std::string::npos && close > open) {
            name.erase(open + 1, close - open - 1);
        }
    }
    const auto space = name.rfind(' ');
    if (space != std::string::npos) {
        name.erase(0, space + 1);
    }
    return name;
}

namespace {

// Severities accepted by at least one target, one bit per level; zero until
// the configuration has been applied.
std::atomic<std::uint32_t> g_accepted_mask{0};

constexpr std::uint32_t bit(SeverityLevel level) { return 1u << static_cast<unsigned>(level); }

struct LogTarget {
    bool enabled;
    std::vector<SeverityLevel> accepted;
    bool timestamp;
    bool channel;
    bool severity;
    bool function;
    bool thread;
    boost::shared_ptr<std::ostream> stream;
};

std::uint32_t mask_of(const std::vector<SeverityLevel>& levels) {
    std::uint32_t mask = 0;
    for (auto level : levels) {
        mask |= bit(level);
    }
    return mask;
}

void write_timestamp(logging::formatting_ostream& out, const boost::posix_time::ptime& time) {
    const auto date = time.date();
    const auto of_day = time.time_of_day();
    const auto micros = of_day.total_microseconds() % 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06lld ",
                  static_cast<int>(date.year()), static_cast<int>(date.month()),
                  static_cast<int>(date.day()), static_cast<int>(of_day.hours()),
                  static_cast<int>(of_day.minutes()), static_cast<int>(of_day.seconds()),
                  static_cast<long long>(micros));
    out << text;
}

void format_record(const LogTarget& target, const logging::record_view& record,
                   logging::formatting_ostream& out) {
    const auto& values = record.attribute_values();
    if (target.timestamp) {
        if (auto time = logging::extract<boost::posix_time::ptime>("TimeStamp", values)) {
            write_timestamp(out, *time);
        }
    }
    if (target.channel) {
        out << "[qor/" << logging::extract_or_default<std::string>("Channel", values, std::string())
            << "] ";
    }
    if (target.severity) {
        auto level = logging::extract<SeverityLevel>("Severity", values);
        out << "{" << (level ? severity_name(*level) : "unknown") << "} ";
    }
    if (target.function) {
        auto function = logging::extract<std::string>("Function", values);
        out << (function ? short_function_name(*function) : std::string()) << ": ";
    }
    if (target.thread) {
        if (auto thread = logging::extract<logging::attributes::current_thread_id::value_type>("ThreadID", values)) {
            out << "(thread: " << *thread << ") ";
        }
    }
    if (auto message = logging::extract<std::string>("Message", values)) {
        out << *message;
    }
}

bool severity_in(const logging::attribute_value_set& values, std::uint32_t mask) {
    auto level = logging::extract<SeverityLevel>("Severity", values);
    return level && (mask & bit(*level)) != 0;
}

// Writes each formatted record as one console line, under the lock that
// trace output to the same stream takes too.
class ConsoleBackend : public logging::sinks::basic_formatted_sink_backend<char> {
public:
    explicit ConsoleBackend(boost::shared_ptr<std::ostream> stream) : m_stream(std::move(stream)) {}
    void consume(const logging::record_view&, const string_type& line) { write_console_line(*m_stream, line); }

private:
    boost::shared_ptr<std::ostream> m_stream;
};

void apply_configuration(const std::vector<LogTarget>& targets) {
    auto core = logging::core::get();
    core->add_global_attribute("LineID", logging::attributes::counter<unsigned int>(1, 1));
    core->add_global_attribute("TimeStamp", logging::attributes::local_clock());
    core->add_global_attribute("ProcessID", logging::attributes::current_process_id());
    core->add_global_attribute("ThreadID", logging::attributes::current_thread_id());

    std::uint32_t accepted = 0;
    for (const auto& target : targets) {
        accepted |= mask_of(target.accepted);
    }
    core->set_filter([accepted](const logging::attribute_value_set& values) {
        return severity_in(values, accepted);
    });

    bool any_enabled = false;
    for (const auto& target : targets) {
        if (!target.enabled) {
            continue;
        }
        any_enabled = true;
        auto backend = boost::make_shared<ConsoleBackend>(target.stream);
        auto sink = boost::make_shared<logging::sinks::synchronous_sink<ConsoleBackend>>(backend);
        sink->set_formatter([target](const logging::record_view& record, logging::formatting_ostream& out) {
            format_record(target, record, out);
        });
        const auto own = mask_of(target.accepted);
        sink->set_filter([own](const logging::attribute_value_set& values) { return severity_in(values, own); });
        core->add_sink(sink);
    }
    core->set_logging_enabled(any_enabled);
    g_accepted_mask.store(any_enabled ? accepted : 0, std::memory_order_release);
}

// A severity-and-channel logger that stamps every record it opens.
class BoostLoggerWrapper {
public:
    BoostLoggerWrapper(const std::string& channel, SeverityLevel default_severity)
        : m_logger(logging::keywords::channel = channel, logging::keywords::severity = default_severity) {}

    logging::record open_record(SeverityLevel level) {
        return m_logger.open_record(logging::keywords::severity = level);
    }
    void push_record(logging::record&& record) { m_logger.push_record(std::move(record)); }

private:
    logging::sources::severity_channel_logger_mt<SeverityLevel, std::string> m_logger;
};

template <class Tag>
BoostLoggerWrapper& logger_of() {
    static BoostLoggerWrapper logger(Tag::channel, Tag::default_severity);
    return logger;
}

}  // namespace

void initialise_logging() {
    static std::once_flag once;
    std::call_once(once, [] {
        const boost::shared_ptr<std::ostream> err(&std::cerr, null_deleter());
        const boost::shared_ptr<std::ostream> out(&std::cout, null_deleter());
        apply_configuration({
            {true, {SeverityLevel::warning, SeverityLevel::error}, false, true, false, true, false, err},
            {true, {SeverityLevel::message}, false, false, false, false, false, out},
        });
    });
}

bool is_accepted(SeverityLevel level) noexcept {
    return static_cast<unsigned>(level) < 32 &&
           (g_accepted_mask.load(std::memory_order_acquire) & bit(level)) != 0;
}

struct LogRecord::Impl {
    BoostLoggerWrapper* logger;
    logging::record record;
    std::ostringstream text;
};

LogRecord::LogRecord() noexcept = default;
LogRecord::LogRecord(std::unique_ptr<Impl> impl) noexcept : m_impl(std::move(impl)) {}
LogRecord::LogRecord(LogRecord&&) noexcept = default;
LogRecord& LogRecord::operator=(LogRecord&&) noexcept = default;
LogRecord::~LogRecord() = default;

std::ostream& LogRecord::stream() { return m_impl->text; }

void LogRecord::push() {
    if (!m_impl) {
        return;
    }
    {
        logging::record_ostream out(m_impl->record);
        out << m_impl->text.str();
        out.flush();
    }
    m_impl->logger->push_record(std::move(m_impl->record));
    m_impl.reset();
}

template <class Tag>
LogRecord open_record(SeverityLevel level, const char* function) {
    auto& logger = logger_of<Tag>();
    auto record = logger.open_record(level);
    if (!record) {
        return LogRecord();
    }
    record.attribute_values().insert(
        "Function", logging::attributes::make_attribute_value(std::string(function)));
    auto impl = std::make_unique<LogRecord::Impl>();
    impl->logger = &logger;
    impl->record = std::move(record);
    return LogRecord(std::move(impl));
}

template LogRecord open_record<error>(SeverityLevel, const char*);
template LogRecord open_record<warning>(SeverityLevel, const char*);
template LogRecord open_record<info>(SeverityLevel, const char*);
template LogRecord open_record<verbose>(SeverityLevel, const char*);

}  // namespace common::logging
