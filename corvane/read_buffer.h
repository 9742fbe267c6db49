#pragma once

// Where application threads hand reads to the client and the worker thread
// takes them to the server and back. A read is in one of four stages:
//
//   queued     accepted, already built into the messages that will carry it
//   submitted  accepted by the server, waiting for its result
//   partly returned  pieces of a submitted read the server split
//   out        finished, waiting for the application to collect it
//
// Reads travel in units: one long read as a run of raw blocks, or several
// short ones as one batch message. The input limit counts units. A new
// connection id requeues everything in flight, the submitted reads first,
// each alone as raw blocks; a read taken back more than the failure limit
// sends every read then in flight back to the application without results.
// Every read handed in leaves through the output queue exactly once.
//
// Threads: any thread queues, collects and queries. The worker thread alone
// calls front_messages, reads_submitted, the retrieval steps and the
// configuration calls. One mutex guards everything; the unlocked accesses
// are front_messages, safe because only the worker removes units and
// appending to a list moves no element, and the count of reads out, an
// atomic written under the lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/runtime/diagnostics/state_provider.h"
#include "common/runtime/diagnostics/tracing.h"
#include "common/read_model/read_holder.h"
#include "corvane/client_status.h"
#include "ipc_tools/ipc_tools.h"

namespace tarvo::utils::concurrency {
class Flag;
class CountdownLatch;
}  // namespace tarvo::utils::concurrency

namespace corvane {

class ReadBuffer : public common::diagnostics::tracing::TraceDomain<ReadBuffer>,
                   public common::diagnostics::state::StateProvider {
public:
    // Reads of this many samples or fewer are never sent: they go straight
    // to the output queue.
    static constexpr std::uint64_t max_unsent_duration = 99;

    ReadBuffer();
    // Refuses further reads, wakes every queueing call still waiting and
    // waits for each to leave before the members go.
    ~ReadBuffer() override;
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    // --- Application threads. Timeouts are in milliseconds; 0 does not wait.

    // On queued the read has been taken (moved from); otherwise the caller
    // still owns it. bad_read: a tag beyond 32 bits, or one a read queued
    // or submitted already carries (the tag identifies the read on the
    // wire and coming back).
    BufferQueueReadsResult queue_read(common::ReadHolder& read, unsigned long long timeout);
    // queue_read, signalling wait_guaranteed_flag (when given) once the call
    // holds the lock, so that a test knows it has reached the wait.
    BufferQueueReadsResult testable_queue_read(common::ReadHolder& read,
                                               unsigned long long timeout,
                                               tarvo::utils::concurrency::Flag* wait_guaranteed_flag);
    // On queued the vector is left empty; otherwise every read is still in it
    // in its previous order, except that memory running out while queueing
    // leaves the units queued so far queued. bad_read as queue_read, also
    // for two reads of the vector that share a tag.
    BufferQueueReadsResult queue_reads(std::vector<common::ReadHolder>& reads, unsigned long long timeout);
    void put_read_on_output_queue(common::ReadHolder& read);

    // Moves every finished read to the end of out, in order.
    void get_reads_out(std::vector<common::ReadHolder>& out);
    std::uint64_t num_reads_out() const;
    std::uint64_t num_queued_samples() const;
    std::uint64_t num_queued_reads() const;
    std::uint64_t num_submitted_reads() const;
    // Nothing queued and nothing submitted.
    bool all_reads_done() const;

    void log_state(common::diagnostics::state::StateLogger& logger) const override;

    // --- Worker thread.

    // The messages of the first unit, in sending order; valid until
    // reads_submitted. Must not be called with no unit queued.
    std::vector<ipc_tools::Message>& front_messages();
    // The server has accepted the first unit.
    void reads_submitted();
    // Null when no read of that tag is submitted.
    common::ReadHolder* find_submitted_read(std::uint64_t read_tag);
    // Stores a returned piece under (read_tag, sub_tag) unless one is stored
    // there already; returns the stored piece either way.
    common::ReadHolder* add_sub_read(common::ReadHolder&& piece);
    // The submitted read of read_tag is complete: it goes out, followed by
    // its completed pieces. Throws std::out_of_range for a tag that is not
    // submitted.
    void read_retrieved(std::uint64_t read_tag);
    // A returned read or piece: its read tag and sub tag.
    using ReturnedKey = std::pair<std::uint64_t, std::uint64_t>;
    // read_retrieved or sub_read_retrieved for each read or piece of a
    // returned batch in order, under one lock. A read named twice goes out
    // once.
    void reads_retrieved(const std::vector<ReturnedKey>& returned);
    // The piece is complete. It goes out with its parent, or at once when
    // the parent has already gone out.
    void sub_read_retrieved(std::uint64_t read_tag, std::uint64_t sub_tag);
    // The server has lost the submitted reads: each goes out without results
    // (with any pieces already completed).
    void clear_submitted_reads();
    // The worker has ended: every read still queued or submitted goes out
    // without results (the submitted ones first, with any pieces already
    // completed), and no read is taken from now on. How many went out.
    std::uint64_t hand_back_unfinished_reads();
    ConnectionErrorInfo get_error_state() const;

    // Called, off the lock, after a unit is queued and after no more data or
    // an error is declared, so that an idle worker need not sleep out its
    // pause. Any thread may set it; pass an empty function to remove it.
    void set_work_listener(std::function<void()> listener);

    void set_block_size(std::uint64_t block_size);
    void set_max_input_queue_size(std::uint64_t max_input_queue_size);
    void set_max_read_failures(std::uint64_t max_read_failures);
    // Stores the id and requeues every read in flight under it.
    void set_connection_id(std::string connection_id);
    // One-way: queueing calls answer not_accepting from now on (reads too
    // short to send still go out).
    void set_no_more_data();
    // One-way, like set_no_more_data, and remembers why.
    void set_error_state(const ConnectionErrorInfo& error);

private:
    using Unit = std::vector<common::ReadHolder>;
    using Messages = std::vector<ipc_tools::Message>;

    // What messages are built for: they carry the connection id, and the
    // block size cuts reads into blocks.
    struct BuildParameters {
        std::string connection_id;
        std::uint64_t block_size = 0;
        bool operator==(const BuildParameters&) const = default;
    };
    struct ListUnits;

    BuildParameters build_parameters() const;
    bool build_list_units(const std::vector<common::ReadHolder>& held,
                          const BuildParameters& parameters,
                          ListUnits& units,
                          const char*& failure_message) const;
    // The raw-block messages of one read; empty when building failed, with
    // out_of_memory telling an exhausted memory from a read that cannot be
    // sent. Takes no lock.
    Messages build_raw_block_messages(const common::ReadHolder& read,
                                      const std::string& connection_id,
                                      std::uint64_t block_size,
                                      bool& out_of_memory) const;
    void set_error_state_locked(const ConnectionErrorInfo& error);
    // Memory ran out while queueing: the error state, then off the lock
    // the waiters and the listener are told.
    void fail_locked(std::unique_lock<std::mutex>& lock, const char* out_of_memory_message);
    std::chrono::steady_clock::time_point deadline_after(unsigned long long timeout) const;

    // Lock held by the caller for every *_locked / *_impl step.
    bool has_room_locked() const;
    BuildParameters build_parameters_locked() const;
    bool tag_held_locked(const std::vector<std::uint64_t>& tags) const;
    // Queues the units of a list, marking each read taken; each unit is
    // queued whole or not at all. Throws std::bad_alloc when memory ran
    // out, the reads of the units not queued left in `held`.
    void queue_list_units_locked(std::vector<common::ReadHolder>& held, ListUnits& units, std::vector<bool>& taken);
    // Waits for room or the end of data, counted as a waiting call (and
    // counted out, with the destructor's latch, however the wait ends).
    // False when the deadline passed first.
    bool wait_for_room(std::unique_lock<std::mutex>& lock,
                       std::chrono::steady_clock::time_point deadline,
                       bool trace_leaving);
    // Queue a unit whole, or throw std::bad_alloc leaving the queues as they
    // were and the read (the unit) with the caller.
    void queue_read_impl(common::ReadHolder& read, Messages&& messages);
    void queue_reads_impl(Unit& batch, ipc_tools::Message&& message);
    void enqueue_unit_locked(Unit& unit, Messages&& messages);
    void read_retrieved_impl(std::uint64_t read_tag);
    void sub_read_retrieved_impl(std::uint64_t read_tag, std::uint64_t sub_tag);
    void release_completed_pieces_locked(std::uint64_t read_tag);
    std::deque<common::ReadHolder> fetch_and_empty_submitted_reads(bool& ok);
    void leave_wait_locked(bool trace_leaving);
    // Every read that goes out goes through here, so that the count below
    // never misses one.
    void push_out_locked(common::ReadHolder&& read);
    std::string summary_locked() const;

    mutable std::mutex m_mutex;  // the one lock: guards every member below unless said otherwise
    std::condition_variable m_input_queue_event;  // queue shrank, no more data, error, destruction
    std::deque<Unit> m_queued_reads;
    std::map<std::uint64_t, common::ReadHolder> m_submitted_reads;
    // Nodes of reads that came back, each holding an emptied record, for
    // the next reads submitted: a read's stay costs no allocation of its
    // own once the first reads have come back.
    using SubmittedNode = std::map<std::uint64_t, common::ReadHolder>::node_type;
    static constexpr std::size_t max_spare_submitted_nodes = 1024;
    std::vector<SubmittedNode> m_spare_submitted_nodes;
    std::unordered_set<std::uint64_t> m_tags_held;  // of every read queued or submitted
    std::map<std::uint64_t, std::uint32_t> m_resubmission_counts;
    std::map<std::pair<std::uint64_t, std::uint64_t>, common::ReadHolder> m_partial_sub_reads;
    // Element i carries unit i of m_queued_reads. Appending never moves an
    // element, which is what lets front_messages work without the lock.
    std::list<Messages> m_message_queue_in;
    // A vector rather than a list: the worker adds a read without an
    // allocation of its own.
    std::vector<common::ReadHolder> m_reads_out;
    // The size of m_reads_out, written under m_mutex and read without it,
    // so that polling an empty output queue takes no lock.
    std::atomic<std::uint64_t> m_num_reads_out{0};
    std::uint64_t m_num_queued_reads = 0;
    std::uint64_t m_num_samples_in_queued_reads = 0;
    std::uint64_t m_max_input_queue_size = 0;
    std::uint64_t m_block_size = 256000;
    std::uint64_t m_max_read_failures = 10;
    std::string m_connection_id;
    bool m_no_more_data = false;
    ConnectionErrorInfo m_error_state;
    std::unordered_map<std::uint64_t, std::unordered_map<std::uint64_t, common::ReadHolder>> m_completed_sub_reads;
    std::uint64_t m_num_queue_read_waiting_threads = 0;
    // Made by the destructor; every waiting queueing call counts it down as
    // it leaves (under m_mutex).
    std::unique_ptr<tarvo::utils::concurrency::CountdownLatch> m_queue_read_latch;
    std::function<void()> m_work_listener;
};

}  // namespace corvane
