#pragma once

/// @file
/// The whole public API of the corvane client library, and the client
/// class an application drives.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <apps/client/corvane_export.h>
#include <apps/client/read.h>
#include <apps/client/result_codes.h>
#include <apps/client/server_query.h>
#include <apps/client/version.h>
#include <data_wrappers/metadata.h>

namespace apps {

class CorvaneImpl;

/// What the server said about itself when this client connected.
struct ConnectedServerInfo {
    std::string connection_id;    ///< this client's id on the server
    std::string server_version;
    std::string minimap_version;  ///< version of the server's aligner
    std::string gpu_devices;      ///< the server's device names
};

/// A client of one basecall server with one basecalling configuration.
///
/// Life of a client: construct, set_params() (and the other setters)
/// while disconnected, connect(), pass_read()/pass_reads() and
/// get_completed_reads() from any threads, then finish() (or
/// disconnect()). Each connect() starts a fresh engine with a worker
/// thread that talks to the server and reconnects after a lost
/// connection; the parameters may only change while disconnected.
///
/// Threads: every method may be called from any application thread. The
/// state change handler runs on the engine's notifier thread and may call
/// back into the client (get_status(), disconnect(), finish(), connect(),
/// even destroy it); from there disconnect() and finish() ask the worker
/// to stop without waiting for it. No method throws for a server failure.
class CORVANE_EXPORT Corvane {
public:
    using StateChangeHandler = std::function<void(ConnectionStatus previous, ConnectionStatus next, std::string error)>;

    /// A client for the server at `address` (a tcp://, ipc:// or inproc://
    /// endpoint, or a bare port on the local host) and the configuration
    /// `config`. `trace_folder` receives trace output when the environment
    /// names no folder; with `log_invalid_reads` rejected reads are logged.
    Corvane(std::string address, std::string config, std::string trace_folder = "", bool log_invalid_reads = false);
    /// Stops the worker promptly (telling a connected server DISCONNECT).
    ~Corvane();
    Corvane(const Corvane&) = delete;
    Corvane& operator=(const Corvane&) = delete;

    /// Stores the known keys of `params` (each only with its own value
    /// type; others keep their value) and merges every entry into the
    /// parameters forwarded to the server. already_connected unless
    /// disconnected; failed, with a logged reason, for a text value that
    /// holds '>' (it would add items to the connection text).
    Result set_params(const vesk::data_wrappers::v3::Metadata& params);
    /// Priority of every read this client passes. Only while disconnected.
    Result set_priority(Read::Priority priority);
    /// Called once, first thing, on each new worker thread. Only while disconnected.
    Result set_callback_function(void (*callback)());
    /// Called with (previous, new, error text) on every status change of
    /// engines created by later connect() calls. Only while disconnected.
    Result set_state_change_handler(StateChangeHandler handler);

    /// Blocks until connected, or until the worker gave up (after the
    /// reconnect timeout for a server that does not answer).
    Result connect();
    /// Stops the worker at once. no_connection when disconnected.
    Result disconnect();
    /// Declares the end of the reads and waits until all have come back
    /// (timeout in seconds, 0 = no limit), then stops the worker.
    /// not_ready when the time ran out.
    Result finish(std::uint64_t timeout);
    /// Declares that no more reads will come, without waiting.
    void no_more_data();

    /// Queues one read (timeout in ms; 0 uses the pass_read_timeout
    /// parameter). On success the handle keeps only its tags.
    PassReadResult pass_read(Read& read, std::uint32_t timeout);
    /// Queues all reads or none: on success the vector is empty, otherwise
    /// it holds all the reads again.
    PassReadResult pass_reads(std::vector<Read>& reads, std::uint32_t timeout);
    /// Appends the finished reads, one inner vector per read tag (a read
    /// the server split comes back as several reads under one tag).
    void get_completed_reads(std::vector<std::vector<Read>>& reads);

    /// Whether the read carries what the server needs; `message` says what is missing.
    bool validate_read(const Read& read, std::string& message) const;

    ConnectionStatus get_status() const;
    /// The error text when the status is error, else empty.
    std::string get_error_message();
    /// A JSON report of the client's state, for diagnostics.
    std::string get_internal_state();
    const std::string& get_address() const;
    /// The configuration details of the last connection (no_connection before any).
    Result get_basecalling_config(vesk::data_wrappers::v3::Metadata& config);
    /// The SAM header of the alignment index (empty without one).
    Result get_alignment_sam_header(std::string& header);
    Result get_connected_server_info(ConnectedServerInfo& info);
    /// Samples of the reads waiting to be sent.
    std::uint64_t num_buffered_samples() const;
    /// Finished reads waiting to be collected.
    std::uint64_t num_completed_reads() const;

    static VersionTag get_api_version();
    static VersionTag get_data_wrappers_version();
    static VersionTag get_protocol_version();
    static VersionTag get_software_version();
    /// Whether the library matches the API and data-wrapper major versions this header declares.
    static bool check_library_compatibility();

private:
    std::unique_ptr<CorvaneImpl> m_impl;
};

}  // namespace apps
