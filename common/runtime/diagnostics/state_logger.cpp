#include "common/runtime/diagnostics/state_logger.h"

namespace common::diagnostics::state {

ChildSection::ChildSection(StateTable& table, std::string name) : m_table(&table), m_name(std::move(name)) {
    StateLoggerChildSectionTrace::trace_context().trace("ChildSection", m_name);
    m_table->push_back({StateEntry::section_start, m_name, {}});
}

ChildSection::~ChildSection() {
    if (m_owns_end) {
        m_table->push_back({StateEntry::section_end, m_name, {}});
    }
}

ChildSection::ChildSection(ChildSection&& other) noexcept
    : m_table(other.m_table), m_name(std::move(other.m_name)), m_owns_end(other.m_owns_end) {
    other.m_owns_end = false;
}

StateLogger::StateLogger(StateTable& table) : m_table(table) {
    StateLoggerTrace::trace_context().trace("StateLogger", "");
}

void StateLogger::add(const std::string& name, const std::string& value) { append(name, value); }

void StateLogger::add(const std::string& name, bool value) { append(name, value); }

void StateLogger::append(const std::string& name, std::any data) {
    m_table.push_back({StateEntry::value, name, std::move(data)});
}

ChildSection StateLogger::child_section(const std::string& name) { return ChildSection(m_table, name); }

}  // namespace common::diagnostics::state
