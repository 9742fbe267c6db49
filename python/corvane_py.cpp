#include "python/corvane_py.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "python/config_conversion.h"
#include "python/param_conversion.h"
#include "python/read_conversion.h"

namespace tavrix {

namespace {

constexpr int max_pool_size = 100;

// The first result, replaced by every later one that is not success.
template <class Operation>
apps::Result pool_result(std::vector<std::unique_ptr<apps::Corvane>>& pool, Operation operation) {
    apps::Result result = apps::Result::success;
    for (std::size_t i = 0; i < pool.size(); ++i) {
        const apps::Result member = operation(*pool[i]);
        if (i == 0 || member != apps::Result::success) {
            result = member;
        }
    }
    return result;
}

std::uint32_t wait_ms(std::int64_t wait_duration_ms) {
    if (wait_duration_ms < 0) {
        throw py::value_error("wait_duration_ms. Must be greater than or equal to zero.");
    }
    constexpr auto longest = static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max());
    return static_cast<std::uint32_t>(wait_duration_ms < longest ? wait_duration_ms : longest);
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

CorvanePy::CorvanePy(const std::string& address, const std::string& config, int num_threads) {
    if (num_threads < 1 || num_threads > max_pool_size) {
        throw std::runtime_error("Invalid number of worker threads specified.");
    }
    m_pool.reserve(static_cast<std::size_t>(num_threads));
    for (int i = 0; i < num_threads; ++i) {
        m_pool.push_back(std::make_unique<apps::Corvane>(address, config, "", true));
    }
}

CorvanePy::~CorvanePy() {
    // Stopping a connected client waits for its worker; other Python threads
    // keep running meanwhile, except while the interpreter shuts down.
    if (interpreter_finalizing()) {
        m_pool.clear();
        return;
    }
    py::gil_scoped_release unlocked;
    m_pool.clear();
}

apps::Corvane& CorvanePy::take_turn() {
    apps::Corvane& member = *m_pool[m_next];
    m_next = (m_next + 1) % m_pool.size();
    return member;
}

apps::Result CorvanePy::set_params(const py::dict& params) {
    if (m_pool.front()->get_status() != apps::ConnectionStatus::disconnected) {
        return apps::Result::already_connected;
    }
    try {
        const ParamsConversion conversion = params_dict_to_metadata(params);
        if (!conversion.unknown_key.empty()) {
            return apps::Result::failed;
        }
        // A client refusing its parameters (a text it cannot forward) is
        // reported rather than hidden behind success.
        apps::Result result = apps::Result::success;
        for (auto& member : m_pool) {
            if (conversion.priority) {
                member->set_priority(*conversion.priority);
            }
            if (!conversion.params.empty()) {
                const apps::Result applied = member->set_params(conversion.params);
                if (result == apps::Result::success) {
                    result = applied;
                }
            }
        }
        return result;
    } catch (const std::exception&) {
        // A malformed dict: a non-str key, a value of the wrong type, a
        // priority that is no read_priority member.
        return apps::Result::failed;
    }
}

apps::ConnectionStatus CorvanePy::get_status() const {
    return m_pool.front()->get_status();
}

std::string CorvanePy::get_error_message() {
    std::string joined;
    for (auto& member : m_pool) {
        const std::string message = member->get_error_message();
        if (message.empty()) {
            continue;
        }
        if (!joined.empty()) {
            joined += '\n';
        }
        joined += message;
    }
    return joined;
}

std::string CorvanePy::get_internal_state() {
    std::string joined;
    for (std::size_t i = 0; i < m_pool.size(); ++i) {
        if (i != 0) {
            joined += '\n';
        }
        joined += m_pool[i]->get_internal_state();
    }
    return joined;
}

std::string CorvanePy::get_address() const {
    return m_pool.front()->get_address();
}

apps::Result CorvanePy::connect() {
    for (std::size_t i = 0; i < m_pool.size(); ++i) {
        const apps::Result result = m_pool[i]->connect();
        if (result != apps::Result::success) {
            for (std::size_t j = 0; j < i; ++j) {
                m_pool[j]->disconnect();
            }
            return result;
        }
    }
    return apps::Result::success;
}

apps::Result CorvanePy::finish(std::int64_t timeout) {
    if (timeout < 0) {
        throw std::runtime_error("Negative timeout specified for finish() method.");
    }
    return pool_result(m_pool, [&](apps::Corvane& member) { return member.finish(static_cast<std::uint64_t>(timeout)); });
}

apps::Result CorvanePy::disconnect() {
    return pool_result(m_pool, [](apps::Corvane& member) { return member.disconnect(); });
}

apps::PassReadResult CorvanePy::pass_read(const py::dict& read_dict, std::int64_t wait_duration_ms) {
    apps::Read read;
    if (!dict_to_read(read_dict, read)) {
        return apps::PassReadResult::bad_read;
    }
    const std::uint32_t wait = wait_ms(wait_duration_ms);
    apps::Corvane& member = take_turn();
    py::gil_scoped_release unlocked;
    return member.pass_read(read, wait);
}

apps::PassReadResult CorvanePy::pass_reads(const py::list& read_dicts, std::int64_t wait_duration_ms) {
    std::vector<apps::Read> reads(read_dicts.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        // Borrowed: reading a dict runs no Python code that could change the list.
        PyObject* item = PyList_GET_ITEM(read_dicts.ptr(), static_cast<Py_ssize_t>(i));
        if (!PyDict_Check(item) || !dict_to_read(py::reinterpret_borrow<py::dict>(item), reads[i])) {
            return apps::PassReadResult::bad_read;
        }
    }
    const std::uint32_t wait = wait_ms(wait_duration_ms);
    apps::Corvane& member = take_turn();
    py::gil_scoped_release unlocked;
    // Reads the client gives back are dropped here; the caller still has
    // its dicts, which were only read.
    return member.pass_reads(reads, wait);
}

py::list CorvanePy::get_completed_reads() {
    std::vector<std::vector<apps::Read>> groups;
    std::vector<SamRecord> sam_records;  // one per read, the groups' reads in turn
    {
        // The SAM text is plain C++: built here, off the interpreter lock.
        py::gil_scoped_release unlocked;
        for (auto& member : m_pool) {
            member->get_completed_reads(groups);
        }
        std::size_t reads = 0;
        for (const auto& group : groups) {
            reads += group.size();
        }
        sam_records.reserve(reads);
        for (const auto& group : groups) {
            for (const apps::Read& read : group) {
                sam_records.push_back(build_sam_record(read));
            }
        }
    }
    // Read by read: a read that cannot be converted in full keeps its dict
    // with the reason, and the others are delivered.
    py::list result(groups.size());
    std::size_t next_record = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        py::list group(groups[g].size());
        for (std::size_t r = 0; r < groups[g].size(); ++r) {
            group[r] = completed_read_to_dict(groups[g][r], sam_records[next_record++]);
        }
        result[g] = std::move(group);
    }
    py::gil_scoped_release unlocked;
    groups.clear();
    return result;
}

py::tuple CorvanePy::get_basecalling_config() {
    vesk::data_wrappers::v3::Metadata config;
    apps::Result result;
    {
        py::gil_scoped_release unlocked;
        result = m_pool.front()->get_basecalling_config(config);
    }
    if (result != apps::Result::success) {
        return py::make_tuple(py::dict(), result);
    }
    return py::make_tuple(config_details_to_dict(config), result);
}

py::tuple CorvanePy::get_alignment_sam_header() {
    std::string header;
    apps::Result result;
    {
        py::gil_scoped_release unlocked;
        result = m_pool.front()->get_alignment_sam_header(header);
    }
    return py::make_tuple(header, result);
}

std::string CorvanePy::validate_read(const py::dict& read_dict) {
    apps::Read read;
    std::string problem = read_dict_problem(read_dict, read);
    if (problem.empty() && !m_pool.front()->validate_read(read, problem)) {
        return problem.empty() ? std::string("not a valid read") : problem;
    }
    return problem;
}

std::string CorvanePy::repr() const {
    std::string text;
    for (std::size_t i = 0; i < m_pool.size(); ++i) {
        const apps::ConnectionStatus status = m_pool[i]->get_status();
        if (i != 0) {
            text += '\n';
        }
        text += "Corvane(status=" + apps::to_string(status);
        if (status == apps::ConnectionStatus::error) {
            text += ", " + m_pool[i]->get_error_message();
        }
        text += ")";
    }
    return text;
}

}  // namespace tavrix
