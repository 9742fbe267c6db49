// reference_server: a stand-in basecall server for testing applications.
//
//   reference_server --listen 5555 [--config settings.json] [--control ADDRESS]
//                    [--data-root DIR] [--verbosity 0|1|2]
//
// Answers the protocol from what the settings file (or the built-in
// defaults) describe, calls reads with the stand-in basecaller, logs each
// request on standard output (from a thread of its own, so that a reader
// who stops reading holds up no client), takes JSON commands on the control
// address, and stops cleanly on SIGINT or SIGTERM.

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>

#include <unistd.h>

#include "apps/command_line/command_line.h"
#include "common/runtime/logger.h"
#include "reference_server/settings/server_files.h"
#include "reference_server/protocol/log_writer.h"
#include "reference_server/protocol/reference_server.h"
#include "reference_server/protocol/request_log.h"

namespace {

// How long the log may take to write out its last lines once the server
// has stopped; a reader who has stopped reading gets no more than this.
constexpr std::chrono::milliseconds stop_grace(1000);

void print_usage(std::ostream& out) {
    out << "usage: reference_server --listen ADDRESS [--config FILE] [--control ADDRESS]\n"
           "                        [--data-root DIR] [--verbosity 0|1|2]\n"
           "       reference_server --print-default-config\n"
           "\n"
           "  --listen ADDRESS   a port (binds 127.0.0.1 only; 0 picks a free one),\n"
           "                     tcp://HOST:PORT or ipc://PATH\n"
           "  --config FILE      JSON settings: configurations, barcode kits, devices,\n"
           "                     alignment indices, BED files, load delays, the data\n"
           "                     plane (latencies, limits) and faults\n"
           "  --control ADDRESS  also listen there for JSON commands: add_fault,\n"
           "                     clear_faults, restart, restart_after, restart_every,\n"
           "                     unload_index, status, stop\n"
           "  --data-root DIR    load alignment indices and BED files from under DIR\n"
           "                     only (default: any path the server can read); set\n"
           "                     it when listening beyond loopback\n"
           "  --verbosity N      0 silent, 1 one line per request (default),\n"
           "                     2 also the request and reply texts\n";
}

struct Options {
    std::string listen;
    std::string config_path;
    std::string control;
    std::string data_root;
    int verbosity = 1;
};

// The options, or the exit status when the command line was all there is
// to answer (help, the default settings, a usage error).
std::optional<int> read_command_line(int argc, char** argv, Options& options) {
    std::string& listen = options.listen;
    std::string& config_path = options.config_path;
    std::string& control = options.control;
    std::string& data_root = options.data_root;
    int& verbosity = options.verbosity;
    bool print_default_config = false;
    bool help = false;
    apps::CommandLine line;
    line.option("--listen", [&](const std::string& value) { listen = value; });
    line.option("--config", [&](const std::string& value) { config_path = value; });
    line.option("--control", [&](const std::string& value) { control = value; });
    line.option("--data-root", [&](const std::string& value) { data_root = value; });
    line.option("--verbosity", [&](const std::string& value) {
        if (value != "0" && value != "1" && value != "2") {
            throw apps::UsageError("--verbosity takes 0, 1 or 2");
        }
        verbosity = std::stoi(value);
    });
    line.flag("--print-default-config", [&] { print_default_config = true; });
    line.flag("--help", [&] { help = true; });
    line.flag("-h", [&] { help = true; });
    try {
        line.parse(argc, argv);
    } catch (const apps::UsageError& error) {
        std::cerr << "reference_server: " << error.what() << "\n";
        print_usage(std::cerr);
        return 2;
    }
    if (help) {
        print_usage(std::cout);
        return 0;
    }
    if (print_default_config) {
        std::cout << reference_server::to_json(reference_server::default_settings()) << "\n";
        return 0;
    }
    if (listen.empty()) {
        print_usage(std::cerr);
        return 2;
    }
    return std::nullopt;
}

// Serves until SIGINT, SIGTERM or the stop command.
int serve(const Options& options) {
    const std::string& listen = options.listen;
    const std::string& control = options.control;
    const int verbosity = options.verbosity;

    // The server's own errors (a failed send, a refused request) go through
    // the library's logging, which drops everything until it is set up.
    common::logging::initialise_logging();
    // Output piped to a program that exits (| head -1) must not end the
    // server: the request log just stops being written.
    std::signal(SIGPIPE, SIG_IGN);

    // Signals are taken synchronously by this thread; the server thread,
    // started after this, inherits the blocked mask. A shell starts
    // background jobs with SIGINT ignored, which would make sigwait miss it.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Standard output is written by the log's own thread from here on.
    reference_server::LogWriter log(STDOUT_FILENO);
    log.start();
    try {
        auto settings = options.config_path.empty() ? reference_server::default_settings()
                                                    : reference_server::load_settings(options.config_path);
        if (!options.data_root.empty()) {
            settings.data_root = reference_server::checked_data_root(options.data_root);
        }
        reference_server::ReferenceServer server(std::move(settings));
        if (verbosity > 0) {
            server.set_request_log([&log, verbosity](const reference_server::RequestRecord& record) {
                log.write(reference_server::request_log_line(record, verbosity));
            });
        }
        // The control command "stop" ends the server as SIGTERM does: the
        // signal wakes this thread, which stops the server in order.
        static std::atomic<bool> stop_command{false};
        const pthread_t main_thread = pthread_self();
        server.set_stop_handler([main_thread] {
            stop_command = true;
            pthread_kill(main_thread, SIGTERM);
        });
        const auto endpoint = server.start(listen, control);
        log.write("reference_server listening on " + endpoint);
        if (!control.empty()) {
            log.write("reference_server control on " + server.control_endpoint());
        }
        int signal = 0;
        sigwait(&signals, &signal);
        server.stop();
        const char* reason = stop_command ? "stop command" : signal == SIGINT ? "SIGINT" : "SIGTERM";
        std::string stopped = std::string("reference_server stopped (") + reason + ") after " +
                              std::to_string(server.requests_answered()) + " requests";
        if (const auto dropped = log.dropped(); dropped > 0) {
            stopped += "; " + std::to_string(dropped) + " log lines dropped (output not read)";
        }
        log.write(std::move(stopped));
    } catch (const std::exception& error) {
        log.stop(stop_grace);
        std::cerr << "reference_server: " << error.what() << "\n";
        return 1;
    }
    log.stop(stop_grace);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto status = read_command_line(argc, argv, options)) {
        return *status;
    }
    return serve(options);
}
