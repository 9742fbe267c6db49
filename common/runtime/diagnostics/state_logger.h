#pragma once

// State reports: a provider writes named values and nested sections into a
// StateLogger, which records them in a flat table for a formatter.
//
//   void Client::log_state(StateLogger& logger) const {
//       std::lock_guard lock(m_mutex);
//       logger.add("status", to_string(m_status));
//       auto section = logger.child_section("read_buffer");
//       m_read_buffer->log_state(logger);   // lands inside "read_buffer"
//   }

#include <any>
#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

#include "common/runtime/diagnostics/tracing.h"

namespace common::diagnostics::state {

struct StateEntry {
    static constexpr std::int32_t value = 0;
    static constexpr std::int32_t section_start = 1;
    static constexpr std::int32_t section_end = 2;

    std::int32_t kind = value;
    std::string name;
    // For values: std::int64_t, std::uint64_t, double, std::string or bool;
    // empty for null.
    std::any data;
};

using StateTable = std::vector<StateEntry>;

struct StateLoggerTrace : tracing::TraceDomain<StateLoggerTrace> {};
struct StateLoggerChildSectionTrace : tracing::TraceDomain<StateLoggerChildSectionTrace> {};

// Opens a section on construction and closes it when it goes; entries
// written meanwhile fall inside. Sections nest.
class ChildSection {
public:
    ChildSection(StateTable& table, std::string name);
    ~ChildSection();
    ChildSection(ChildSection&& other) noexcept;
    ChildSection& operator=(ChildSection&&) = delete;
    ChildSection(const ChildSection&) = delete;
    ChildSection& operator=(const ChildSection&) = delete;

private:
    StateTable* m_table;
    std::string m_name;
    bool m_owns_end = true;  // false once moved from
};

// Appends to a table it does not own; lives for one report.
class StateLogger {
public:
    explicit StateLogger(StateTable& table);

    void add(const std::string& name, const std::string& value);
    void add(const std::string& name, const char* value) { add(name, std::string(value)); }
    void add(const std::string& name, bool value);
    template <std::signed_integral T>
    void add(const std::string& name, T value) {
        append(name, static_cast<std::int64_t>(value));
    }
    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    void add(const std::string& name, T value) {
        append(name, static_cast<std::uint64_t>(value));
    }
    template <std::floating_point T>
    void add(const std::string& name, T value) {
        append(name, static_cast<double>(value));
    }

    [[nodiscard]] ChildSection child_section(const std::string& name);

private:
    void append(const std::string& name, std::any data);

    StateTable& m_table;
};

}  // namespace common::diagnostics::state
