#pragma once

// The native object behind the Python class Corvane: a pool of library
// clients against one server that take reads in turn.
//
// Threads: any Python thread. The pool itself never changes after
// construction; the turn index is read and advanced with the interpreter
// lock held. Methods that wait for the server release the lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include <apps/client/corvane.h>

namespace tavrix {

namespace py = pybind11;

class CorvanePy {
public:
    CorvanePy(const std::string& address, const std::string& config, int num_threads);
    // Stops the clients with the interpreter lock released.
    ~CorvanePy();
    CorvanePy(const CorvanePy&) = delete;
    CorvanePy& operator=(const CorvanePy&) = delete;

    apps::Result set_params(const py::dict& params);
    apps::ConnectionStatus get_status() const;
    std::string get_error_message();
    std::string get_internal_state();
    std::string get_address() const;
    // Interpreter lock released by the caller (a call guard).
    apps::Result connect();
    apps::Result finish(std::int64_t timeout);
    apps::Result disconnect();
    // Interpreter lock held; released while a client works.
    apps::PassReadResult pass_read(const py::dict& read, std::int64_t wait_duration_ms);
    apps::PassReadResult pass_reads(const py::list& reads, std::int64_t wait_duration_ms);
    py::list get_completed_reads();
    py::tuple get_basecalling_config();
    py::tuple get_alignment_sam_header();
    // Interpreter lock held.
    std::string validate_read(const py::dict& read);
    std::string repr() const;

private:
    // Interpreter lock held.
    apps::Corvane& take_turn();

    std::vector<std::unique_ptr<apps::Corvane>> m_pool;
    std::size_t m_next = 0;  // guarded by the interpreter lock
};

}  // namespace tavrix
