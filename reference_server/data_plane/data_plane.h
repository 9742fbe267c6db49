#pragma once

// The read data plane of a reference server: the reads each client sends,
// their results while they are "called" and once they are ready, and the
// continuation blocks of long results.
//
//   PASS_READ_BATCH                      -> BATCH_ACCEPTED
//   PASS_FIRST_RAW_BLOCK / _NEXT_        -> RAW_BLOCK_ACCEPTED (reassembled in order)
//   GET_FIRST_CALLED_BLOCK (value 1: moves) -> RETURN_FIRST_CALLED_BLOCK for one ready
//                                           result, RETURN_COMPLETED_BATCH for several,
//                                           NONE_PENDING for none
//   GET_NEXT_CALLED_BLOCK (read tag, strand id) -> RETURN_NEXT_CALLED_BLOCK
//
// A read is called when its last block arrives: by the caller threads
// (caller_pool.h) while the push is answered at once, or with
// `caller_threads` 0 on the server thread before answering. Its results
// become ready when the call has finished and `latency_ms_per_read` +
// `latency_ms_per_1000_samples` per thousand samples after the last block
// (a ready_at time); finished calls join their client's queue when the
// server thread next handles a data-plane request. The results of one read
// keep the caller's order, so the pieces of a split read come back before
// their parent, and a client's reads join its queue in the order accepted.
// A read counts as pending from its acceptance until its last result is
// sent (or its call gives none). A full queue answers NOT_READY to a batch
// or a first block, and so does a batch that would overfill it (one of more
// reads than the queue takes at all is BAD_REQUEST); a block that breaks
// the sending rules or the limits, BAD_REQUEST.
//
// What a client makes the server hold is counted in bytes against
// max_queued_bytes: the declared samples of its reads begun, the signal of
// reads accepted and not yet called, and results until sent, the blocks
// that continue long results until pulled. Past the budget a batch or a
// first block is answered NOT_READY, unless the client holds nothing.
//
// The state of a client is opened on CONNECT and dropped whole on
// DISCONNECT, on a restart (clear), and when the client has sent nothing for
// longer than its CONNECT timeout_interval, or than the server's
// client_expiry_s when it gave none (expire, which looks a few times a
// second); calls still under way for it are dropped too. Clients are found
// by hash, by id and by epoch, so no request walks them all. Each opened state has an epoch of its own, so a
// call finished for a dropped state never reaches a later client of the
// same id.
//
// Server thread only, apart from the caller threads it owns.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ipc_tools/ipc_tools.h"
#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/caller_options.h"
#include "reference_server/data_plane/caller_pool.h"
#include "reference_server/data_plane/read_assembler.h"
#include "reference_server/data_plane/received_request.h"
#include "reference_server/data_plane/result_aligner.h"
#include "reference_server/settings/server_settings.h"
#include "reference_server/settings/server_state.h"

namespace reference_server {

// How a fault spoils the results of one reply.
// One for each fault of the results (fault_actions.def), under its name.
enum class Malformation {
    none,
#define CORVANE_REPLY_FAULT(action)
#define CORVANE_RESULT_FAULT(action) action,
#include "reference_server/settings/fault_actions.def"
#undef CORVANE_REPLY_FAULT
#undef CORVANE_RESULT_FAULT
};

class DataPlane {
public:
    using Clock = std::chrono::steady_clock;

    DataPlane(const ServerSettings& settings, CallRead call_read);
    ~DataPlane();
    DataPlane(const DataPlane&) = delete;
    DataPlane& operator=(const DataPlane&) = delete;

    // Start and stop the caller threads (none with caller_threads 0). Reads
    // accepted while they are stopped wait for the next start.
    void start_calling();
    void stop_calling();

    // A client that has just connected, with the configuration it uses;
    // with an aligner, every result of its reads is aligned.
    void open(const std::string& client_id,
              const ConnectRequest& request,
              const ConfigurationSetting& configuration,
              Clock::time_point now,
              std::shared_ptr<const ResultAligner> aligner = nullptr);
    void close(const std::string& client_id);
    void clear();
    // Any request of the client counts as a sign of life.
    void touch(const std::string& client_id, Clock::time_point now);
    // Drops the state of every client silent for longer than its timeout
    // and returns their ids.
    std::vector<std::string> expire(Clock::time_point now);

    struct Answer {
        ipc_tools::Message reply;
        std::uint32_t reads_in = 0;   // reads completed by this request
        std::uint32_t reads_out = 0;  // results sent with this reply
    };

    // PASS_READ_BATCH, PASS_FIRST_RAW_BLOCK, PASS_NEXT_RAW_BLOCK; the
    // extra latency slows the calling of the reads this request completes.
    Answer pass_reads(const ReceivedRequest& request, Clock::time_point now, std::chrono::milliseconds extra_latency);
    Answer get_first_called_block(const ReceivedRequest& request, Clock::time_point now, Malformation malformation);
    Answer get_next_called_block(const ReceivedRequest& request, Malformation malformation);

    // Drops every read of the client, as a server that lost them; returns
    // how many reads it had.
    std::size_t lose_reads(const std::string& client_id);

    struct Backlog {
        std::uint32_t partial_reads = 0;
        std::uint32_t reads_pending = 0;
        std::uint64_t bytes_held = 0;  // counted against max_queued_bytes
    };
    Backlog backlog(const std::string& client_id);
    std::size_t client_count() const { return m_sessions.size(); }

private:
    struct Pending {
        Clock::time_point ready_at;
        CalledResult result;
        bool last_of_read = false;  // the read's final result: it leaves the queue with it
        std::uint64_t bytes = 0;    // counted for it in held_bytes
    };

    // A read accepted and not yet in the queue: its call is under way.
    struct InFlight {
        std::uint64_t sequence = 0;
        Clock::time_point ready_at;
        bool called = false;
        std::vector<CalledResult> results;
        std::uint64_t signal_bytes = 0;  // counted for it in held_bytes
    };

    // The blocks after the first of a result sent.
    struct Continuation {
        std::deque<ipc_tools::Message> blocks;
        std::uint64_t bytes_per_block = 0;  // counted for each in held_bytes
    };

    struct Session {
        ReadAssembler assembler;
        std::uint64_t epoch = 0;
        std::uint64_t next_sequence = 0;
        std::deque<InFlight> in_flight;  // acceptance order, consecutive sequences
        std::deque<Pending> calling;     // acceptance order
        std::uint32_t reads_pending = 0;
        // Bytes of reads in flight, results queued and continuations; the
        // reads begun are counted by the assembler (held()).
        std::uint64_t held_bytes = 0;
        // Blocks after the first of results sent, by read tag and strand id.
        std::map<std::pair<std::uint32_t, std::string>, Continuation> continuations;
        std::shared_ptr<const CallerOptions> options;
        std::chrono::seconds timeout{0};
        Clock::time_point last_heard;
        std::shared_ptr<const ResultAligner> aligner;  // null: results stay unaligned
    };

    Session* find(const std::string& client_id);
    // The request's session, or null with the answer set to
    // CLIENT_NOT_RECOGNISED.
    Session* find_or_refuse(const ReceivedRequest& request, Answer& answer);
    // What the session holds against the budget.
    static std::uint64_t held(const Session& session);
    // The reply when the request may not be taken now (or ever); nothing
    // when it may.
    std::optional<ipc_tools::Message> refusal_of(const Session& session, const ReceivedRequest& request) const;
    // Gives the session a fresh epoch and forgets its calls under way.
    void forget_calls(Session& session);
    void erase(std::unordered_map<std::string, Session>::iterator session);
    void collect_calls();
    void deliver(Session& session, std::uint64_t sequence, std::vector<CalledResult> results);
    std::vector<CalledResult> take_ready(Session& session, Clock::time_point now);
    void keep_continuations(Session& session, const CalledResult& result, std::vector<ipc_tools::Message> blocks);

    const DataPlaneSetting m_settings;
    const std::vector<BarcodeKitSetting> m_kits;
    const std::chrono::seconds m_default_timeout;
    CallRead m_call_read;
    std::unique_ptr<CallerPool> m_callers;  // null: reads are called on the server thread
    std::uint64_t m_next_epoch = 1;
    std::unordered_map<std::string, Session> m_sessions;  // by connection id
    std::unordered_map<std::uint64_t, Session*> m_by_epoch;  // each session's current epoch
    Clock::time_point m_next_expiry;  // when expire() next looks
};

}  // namespace reference_server
