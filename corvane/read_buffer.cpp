#include "corvane/read_buffer.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <unordered_set>

#include "common/runtime/logger.h"
#include "common/runtime/utils/countdown_latch.h"
#include "common/runtime/utils/flag.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/message_buffer_pool.h"

namespace corvane {

namespace {

using common::ReadHolder;
using common::diagnostics::tracing::TraceScope;
using tarvo::utils::concurrency::CountdownLatch;
using tarvo::utils::concurrency::Flag;

constexpr auto destructor_wait_step = std::chrono::seconds(1);

constexpr const char* single_read_out_of_memory =
    "Failed to construct IPC message(s) for single read, possibly due to insufficient memory.";
constexpr const char* reads_out_of_memory =
    "Failed to construct IPC message(s) for read, possibly due to insufficient memory.";
constexpr const char* batch_out_of_memory =
    "Failed to construct IPC message for read(s), possibly due to insufficient memory.";

std::uint64_t duration_of(const ReadHolder& read) { return read.metadata ? read.metadata->duration : 0; }

// A read tag travels in 32 bits: a larger one would come back as another.
bool sendable_tag(std::uint64_t read_tag) { return read_tag <= std::numeric_limits<std::uint32_t>::max(); }

// Runs a step however the enclosing scope is left.
template <class Step>
class OnExit {
public:
    explicit OnExit(Step step) : m_step(std::move(step)) {}
    ~OnExit() { m_step(); }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

private:
    Step m_step;
};

}  // namespace

ReadBuffer::ReadBuffer() = default;

ReadBuffer::~ReadBuffer() {
    TraceScope scope(trace_context(), "~ReadBuffer");
    CountdownLatch* latch = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_no_more_data = true;
        m_queue_read_latch = std::make_unique<CountdownLatch>(m_num_queue_read_waiting_threads);
        latch = m_queue_read_latch.get();
        scope.trace([&] { return "creating latch for thread count: " + std::to_string(m_num_queue_read_waiting_threads); });
    }
    m_input_queue_event.notify_all();
    scope.trace("notified m_input_queue_event");
    // Every waiter has been woken and leaves at once; the steps only bound
    // each wait so that a stuck caller is reported rather than silent.
    while (!latch->wait_until(std::chrono::steady_clock::now() + destructor_wait_step)) {
        QOR_LOG_WARNING("Read buffer still waiting for queueing calls to leave before it is destroyed.");
    }
    scope.trace("m_queue_read_latch zeroed");
    {
        std::lock_guard lock(m_mutex);
        scope.trace("acquired queue mutex");
    }
}

// ---------------------------------------------------------------- queueing

BufferQueueReadsResult ReadBuffer::queue_read(ReadHolder& read, unsigned long long timeout) {
    TraceScope scope(hf_trace_context(), "queue_read");
    return testable_queue_read(read, timeout, nullptr);
}

BufferQueueReadsResult ReadBuffer::testable_queue_read(ReadHolder& read,
                                                       unsigned long long timeout,
                                                       Flag* wait_guaranteed_flag) {
    auto& trace = hf_trace_context();
    OnExit signal_on_exit([&] {
        if (wait_guaranteed_flag != nullptr) {
            trace.trace("queue_read", "on exit signalling wait_guaranteed_flag");
            wait_guaranteed_flag->signal();
        }
    });

    if (!sendable_tag(read.read_tag)) {
        trace.trace("queue_read", "read tag beyond 32 bits");
        return BufferQueueReadsResult::bad_read;
    }
    if (duration_of(read) <= max_unsent_duration) {
        put_read_on_output_queue(read);
        return BufferQueueReadsResult::queued;
    }

    const auto deadline = deadline_after(timeout);
    std::function<void()> listener;
    for (;;) {
        const BuildParameters parameters = build_parameters();
        bool out_of_memory = false;
        Messages messages = build_raw_block_messages(read, parameters.connection_id, parameters.block_size,
                                                     out_of_memory);
        if (messages.empty()) {
            if (out_of_memory) {
                set_error_state({ConnectionError::failed, single_read_out_of_memory});
            }
            return BufferQueueReadsResult::not_accepting;
        }

        std::unique_lock lock(m_mutex);
        trace.trace("queue_read", "lock acquired");
        if (wait_guaranteed_flag != nullptr) {
            wait_guaranteed_flag->signal();
            trace.trace("queue_read", "signalled wait_guaranteed_flag");
        }
        if (m_no_more_data) {
            trace.trace("queue_read", "exiting before wait (m_no_more_data)");
            return BufferQueueReadsResult::not_accepting;
        }
        if (m_tags_held.count(read.read_tag) != 0) {
            trace.trace("queue_read", "read tag already in use");
            return BufferQueueReadsResult::bad_read;
        }
        if (!wait_for_room(lock, deadline, true)) {
            trace.trace("queue_read", "timeout");
            return BufferQueueReadsResult::no_room;
        }
        if (m_no_more_data) {
            trace.trace("queue_read", "no more data");
            return BufferQueueReadsResult::not_accepting;
        }
        // The wait let go of the lock: another call may have taken the tag.
        if (m_tags_held.count(read.read_tag) != 0) {
            trace.trace("queue_read", "read tag already in use");
            return BufferQueueReadsResult::bad_read;
        }
        // A new connection id while the messages were built would send them
        // under the old one: rare, and built again, outside the lock.
        if (parameters != build_parameters_locked()) {
            continue;
        }
        try {
            queue_read_impl(read, std::move(messages));
        } catch (const std::bad_alloc&) {
            // The read is still the caller's.
            fail_locked(lock, single_read_out_of_memory);
            return BufferQueueReadsResult::not_accepting;
        }
        listener = m_work_listener;
        break;
    }
    if (listener) {
        listener();
    }
    return BufferQueueReadsResult::queued;
}

// How queue_reads sorts a list and the messages it builds for it, by
// position in the list: short reads go straight out, singles as raw
// blocks, batches as one message each.
struct ReadBuffer::ListUnits {
    std::vector<std::size_t> shorts;
    std::vector<std::size_t> singles;
    std::vector<std::vector<std::size_t>> batches;
    std::vector<Messages> single_messages;
    std::vector<ipc_tools::Message> batch_messages;
};

// Takes no lock. False when a message could not be built, with
// failure_message naming an exhausted memory (empty: a read that cannot be
// sent).
bool ReadBuffer::build_list_units(const std::vector<ReadHolder>& held,
                                  const BuildParameters& parameters,
                                  ListUnits& units,
                                  const char*& failure_message) const {
    units = ListUnits{};
    failure_message = nullptr;
    std::vector<std::size_t> batch;
    std::uint64_t batch_samples = 0;
    for (std::size_t index = 0; index < held.size(); ++index) {
        const std::uint64_t duration = duration_of(held[index]);
        if (duration <= max_unsent_duration) {
            units.shorts.push_back(index);
        } else if (duration > parameters.block_size) {
            units.singles.push_back(index);
        } else {
            if (batch_samples + duration > parameters.block_size) {
                if (batch.size() == 1) {
                    units.singles.push_back(batch.front());
                } else {
                    units.batches.push_back(std::move(batch));
                }
                batch.clear();
                batch_samples = 0;
            }
            batch.push_back(index);
            batch_samples += duration;
        }
    }
    if (!batch.empty()) {
        units.batches.push_back(std::move(batch));
    }

    units.single_messages.reserve(units.singles.size());
    for (const std::size_t index : units.singles) {
        bool out_of_memory = false;
        units.single_messages.push_back(
            build_raw_block_messages(held[index], parameters.connection_id, parameters.block_size, out_of_memory));
        if (units.single_messages.back().empty()) {
            failure_message = out_of_memory ? reads_out_of_memory : nullptr;
            return false;
        }
    }
    units.batch_messages.reserve(units.batches.size());
    for (const auto& members : units.batches) {
        std::vector<const ReadHolder*> pointers;
        pointers.reserve(members.size());
        for (const std::size_t index : members) {
            pointers.push_back(&held[index]);
        }
        try {
            units.batch_messages.push_back(ipc_tools::make_read_batch_message(
                std::span<const ReadHolder* const>(pointers), parameters.connection_id,
                &ipc_tools::MessageBufferPool::shared()));
        } catch (const std::bad_alloc&) {
            failure_message = batch_out_of_memory;
            return false;
        } catch (const std::exception& failure) {
            QOR_LOG_WARNING("Could not build the message for a batch of reads: " << failure.what());
            return false;
        }
        if (units.batch_messages.back().empty()) {
            failure_message = batch_out_of_memory;
            return false;
        }
    }
    return true;
}

void ReadBuffer::queue_list_units_locked(std::vector<ReadHolder>& held, ListUnits& units, std::vector<bool>& taken) {
    for (std::size_t i = 0; i < units.singles.size(); ++i) {
        queue_read_impl(held[units.singles[i]], std::move(units.single_messages[i]));
        taken[units.singles[i]] = true;
    }
    for (std::size_t i = 0; i < units.batches.size(); ++i) {
        const auto& members = units.batches[i];
        Unit unit;
        unit.reserve(members.size());
        for (const std::size_t index : members) {
            unit.push_back(std::move(held[index]));
        }
        try {
            queue_reads_impl(unit, std::move(units.batch_messages[i]));
        } catch (const std::bad_alloc&) {
            for (std::size_t j = 0; j < members.size(); ++j) {
                held[members[j]] = std::move(unit[j]);
            }
            throw;
        }
        for (const std::size_t index : members) {
            taken[index] = true;
        }
    }
}

BufferQueueReadsResult ReadBuffer::queue_reads(std::vector<ReadHolder>& reads, unsigned long long timeout) {
    TraceScope scope(hf_trace_context(), "queue_reads");

    // Refused whole, before anything moves: a tag the wire cannot carry, or
    // one that two reads of the list share.
    // The tags of the reads to send, sorted: a repeat sits next to its twin.
    // A vector rather than a set, so that a batch costs one allocation.
    std::vector<std::uint64_t> tags;
    tags.reserve(reads.size());
    for (const ReadHolder& read : reads) {
        if (!sendable_tag(read.read_tag)) {
            scope.trace("read tag beyond 32 bits or repeated in the list");
            return BufferQueueReadsResult::bad_read;
        }
        if (duration_of(read) > max_unsent_duration) {
            tags.push_back(read.read_tag);
        }
    }
    std::sort(tags.begin(), tags.end());
    if (std::adjacent_find(tags.begin(), tags.end()) != tags.end()) {
        scope.trace("read tag beyond 32 bits or repeated in the list");
        return BufferQueueReadsResult::bad_read;
    }

    // Reads are taken from the caller's vector where they stand, by
    // position, so that any refusal can leave every read not queued there,
    // in order.
    std::vector<ReadHolder>& held = reads;
    std::vector<bool> taken(held.size(), false);
    const auto refuse = [&](BufferQueueReadsResult result) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < held.size(); ++i) {
            if (!taken[i]) {
                if (kept != i) {
                    held[kept] = std::move(held[i]);
                }
                ++kept;
            }
        }
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(kept), held.end());
        return result;
    };

    const auto deadline = deadline_after(timeout);
    std::function<void()> listener;
    ListUnits units;
    for (;;) {
        const BuildParameters parameters = build_parameters();
        const char* failure_message = nullptr;
        if (!build_list_units(held, parameters, units, failure_message)) {
            if (failure_message != nullptr) {
                set_error_state({ConnectionError::failed, failure_message});
            }
            return refuse(BufferQueueReadsResult::not_accepting);
        }

        std::unique_lock lock(m_mutex);
        if (m_no_more_data) {
            return refuse(BufferQueueReadsResult::not_accepting);
        }
        if (tag_held_locked(tags)) {
            return refuse(BufferQueueReadsResult::bad_read);
        }
        if (!wait_for_room(lock, deadline, false)) {
            return refuse(BufferQueueReadsResult::no_room);
        }
        if (m_no_more_data) {
            return refuse(BufferQueueReadsResult::not_accepting);
        }
        if (tag_held_locked(tags)) {
            return refuse(BufferQueueReadsResult::bad_read);
        }
        if (parameters != build_parameters_locked()) {
            continue;  // built again for the new id, outside the lock
        }
        // Memory running out half way leaves the units queued so far
        // queued, and hands the rest back.
        try {
            queue_list_units_locked(held, units, taken);
        } catch (const std::bad_alloc&) {
            fail_locked(lock, reads_out_of_memory);
            return refuse(BufferQueueReadsResult::not_accepting);
        }
        if (!units.singles.empty() || !units.batches.empty()) {
            listener = m_work_listener;
        }
        break;
    }
    for (const std::size_t index : units.shorts) {
        put_read_on_output_queue(held[index]);
    }
    held.clear();
    if (listener) {
        listener();
    }
    return BufferQueueReadsResult::queued;
}

void ReadBuffer::put_read_on_output_queue(ReadHolder& read) {
    std::lock_guard lock(m_mutex);
    push_out_locked(std::move(read));
    hf_trace_context().trace("put_read_on_output_queue", [this] { return summary_locked(); });
}

ReadBuffer::Messages ReadBuffer::build_raw_block_messages(const ReadHolder& read,
                                                          const std::string& connection_id,
                                                          std::uint64_t block_size,
                                                          bool& out_of_memory) const {
    out_of_memory = false;
    Messages messages;
    try {
        messages = ipc_tools::make_raw_block_messages(read, connection_id, block_size,
                                                      &ipc_tools::MessageBufferPool::shared());
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
        return {};
    } catch (const std::exception& failure) {
        // A read the facade should not have let through (no signal, or less
        // of it than its duration): refused, and the client goes on.
        QOR_LOG_WARNING("Could not build the messages for read " << (read.metadata ? read.metadata->read_id : "")
                                                                 << ": " << failure.what());
        return {};
    }
    if (messages.empty() || std::any_of(messages.begin(), messages.end(),
                                        [](const ipc_tools::Message& m) { return m.empty(); })) {
        out_of_memory = true;
        return {};
    }
    return messages;
}

void ReadBuffer::fail_locked(std::unique_lock<std::mutex>& lock, const char* out_of_memory_message) {
    set_error_state_locked({ConnectionError::failed, out_of_memory_message});
    const std::function<void()> listener = m_work_listener;
    lock.unlock();
    m_input_queue_event.notify_all();
    if (listener) {
        listener();
    }
}

void ReadBuffer::set_error_state_locked(const ConnectionErrorInfo& error) {
    m_no_more_data = true;
    m_error_state = error;
}

std::chrono::steady_clock::time_point ReadBuffer::deadline_after(unsigned long long timeout) const {
    const auto now = std::chrono::steady_clock::now();
    if (timeout == 0) {
        return now;
    }
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now);
    if (timeout >= static_cast<unsigned long long>(room.count())) {
        return std::chrono::steady_clock::time_point::max();
    }
    return now + std::chrono::milliseconds(timeout);
}

bool ReadBuffer::has_room_locked() const { return m_queued_reads.size() < m_max_input_queue_size; }

ReadBuffer::BuildParameters ReadBuffer::build_parameters() const {
    std::lock_guard lock(m_mutex);
    return build_parameters_locked();
}

ReadBuffer::BuildParameters ReadBuffer::build_parameters_locked() const { return {m_connection_id, m_block_size}; }

bool ReadBuffer::tag_held_locked(const std::vector<std::uint64_t>& tags) const {
    for (const std::uint64_t tag : tags) {
        if (m_tags_held.count(tag) != 0) {
            return true;
        }
    }
    return false;
}

bool ReadBuffer::wait_for_room(std::unique_lock<std::mutex>& lock,
                               std::chrono::steady_clock::time_point deadline,
                               bool trace_leaving) {
    ++m_num_queue_read_waiting_threads;
    OnExit leave([&] { leave_wait_locked(trace_leaving); });
    return m_input_queue_event.wait_until(lock, deadline,
                                          [&] { return m_no_more_data || has_room_locked(); });
}

void ReadBuffer::leave_wait_locked(bool trace_leaving) {
    --m_num_queue_read_waiting_threads;
    if (m_queue_read_latch) {
        m_queue_read_latch->count_down();
        if (trace_leaving) {
            hf_trace_context().trace("queue_read", [this] {
                return "counted down latch. m_num_queue_read_waiting_threads: " +
                       std::to_string(m_num_queue_read_waiting_threads);
            });
        }
    }
}

void ReadBuffer::queue_read_impl(ReadHolder& read, Messages&& messages) {
    Unit unit;
    unit.reserve(1);
    const std::uint64_t duration = duration_of(read);
    unit.push_back(std::move(read));
    try {
        enqueue_unit_locked(unit, std::move(messages));
    } catch (const std::bad_alloc&) {
        read = std::move(unit.front());
        throw;
    }
    m_num_samples_in_queued_reads += duration;
    ++m_num_queued_reads;
    hf_trace_context().trace("queue_read_impl", [this] { return summary_locked(); });
}

void ReadBuffer::queue_reads_impl(Unit& batch, ipc_tools::Message&& message) {
    Messages messages;
    messages.reserve(1);
    messages.push_back(std::move(message));
    std::uint64_t samples = 0;
    for (const ReadHolder& read : batch) {
        samples += duration_of(read);
    }
    const std::size_t count = batch.size();
    enqueue_unit_locked(batch, std::move(messages));
    m_num_samples_in_queued_reads += samples;
    m_num_queued_reads += count;
    hf_trace_context().trace("queue_reads_impl", [this] { return summary_locked(); });
}

void ReadBuffer::enqueue_unit_locked(Unit& unit, Messages&& messages) {
    std::size_t tags_added = 0;
    try {
        for (const ReadHolder& read : unit) {
            m_tags_held.insert(read.read_tag);
            ++tags_added;
        }
        m_message_queue_in.push_back(std::move(messages));
        try {
            m_queued_reads.push_back(std::move(unit));
        } catch (const std::bad_alloc&) {
            m_message_queue_in.pop_back();
            throw;
        }
    } catch (const std::bad_alloc&) {
        // The tags were free before (the callers checked), so they are again.
        for (std::size_t i = 0; i < tags_added; ++i) {
            m_tags_held.erase(unit[i].read_tag);
        }
        throw;
    }
}

// ---------------------------------------------------------------- collecting

void ReadBuffer::get_reads_out(std::vector<ReadHolder>& out) {
    // An application polling an empty queue does not contend for the lock
    // the worker takes on every turn.
    if (m_num_reads_out.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::vector<ReadHolder> taken;
    {
        std::lock_guard lock(m_mutex);
        if (m_reads_out.empty()) {
            return;
        }
        hf_trace_context().trace("get_reads_out", [this] { return summary_locked(); });
        taken.swap(m_reads_out);
        m_num_reads_out.store(0, std::memory_order_release);
    }
    // The queue will likely fill as far again before the next call: room
    // for that, made here rather than by the worker growing it step by step.
    // Not worth failing for.
    std::vector<ReadHolder> room;
    try {
        room.reserve(taken.size());
    } catch (const std::bad_alloc&) {
    }
    if (out.empty()) {
        out.swap(taken);
    } else {
        try {
            out.reserve(out.size() + taken.size());
        } catch (const std::bad_alloc&) {
            // Nothing is lost: the reads go back to the front of the queue.
            std::lock_guard lock(m_mutex);
            taken.insert(taken.end(), std::make_move_iterator(m_reads_out.begin()),
                         std::make_move_iterator(m_reads_out.end()));
            m_reads_out.swap(taken);
            m_num_reads_out.store(m_reads_out.size(), std::memory_order_release);
            throw;
        }
        out.insert(out.end(), std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
    }
    if (room.capacity() != 0) {
        std::lock_guard lock(m_mutex);
        if (m_reads_out.empty() && m_reads_out.capacity() < room.capacity()) {
            m_reads_out.swap(room);
        }
    }
}

std::uint64_t ReadBuffer::num_reads_out() const { return m_num_reads_out.load(std::memory_order_acquire); }

void ReadBuffer::push_out_locked(ReadHolder&& read) {
    m_reads_out.push_back(std::move(read));
    m_num_reads_out.store(m_reads_out.size(), std::memory_order_release);
}

std::uint64_t ReadBuffer::num_queued_samples() const {
    std::lock_guard lock(m_mutex);
    return m_num_samples_in_queued_reads;
}

std::uint64_t ReadBuffer::num_queued_reads() const {
    std::lock_guard lock(m_mutex);
    return m_num_queued_reads;
}

std::uint64_t ReadBuffer::num_submitted_reads() const {
    std::lock_guard lock(m_mutex);
    return m_submitted_reads.size();
}

bool ReadBuffer::all_reads_done() const {
    std::lock_guard lock(m_mutex);
    return m_queued_reads.empty() && m_submitted_reads.empty();
}

void ReadBuffer::log_state(common::diagnostics::state::StateLogger& logger) const {
    std::lock_guard lock(m_mutex);
    logger.add("m_queued_reads (awaiting pushing to server)", m_num_queued_reads);
    logger.add("m_num_samples_in_queued_reads", m_num_samples_in_queued_reads);
    logger.add("m_message_queue_in (awaiting sending to server)", static_cast<std::uint64_t>(m_message_queue_in.size()));
    logger.add("m_submitted_reads (pushed to server not yet pulled)", static_cast<std::uint64_t>(m_submitted_reads.size()));
    logger.add("m_reads_out (output queue of reads from server)", static_cast<std::uint64_t>(m_reads_out.size()));
    logger.add("m_max_input_queue_size", m_max_input_queue_size);
    // The two trailing spaces are part of the keys.
    logger.add("m_block_size ", m_block_size);
    logger.add("m_connection_id ", m_connection_id);
}

// ---------------------------------------------------------------- worker side

std::vector<ipc_tools::Message>& ReadBuffer::front_messages() {
    // Unlocked: only the worker removes units, and appending moves no element.
    return m_message_queue_in.front();
}

void ReadBuffer::reads_submitted() {
    {
        std::lock_guard lock(m_mutex);
        if (m_queued_reads.empty()) {
            return;
        }
        Unit& unit = m_queued_reads.front();
        for (ReadHolder& read : unit) {
            m_num_samples_in_queued_reads -= std::min(m_num_samples_in_queued_reads, duration_of(read));
            // Tags are unique among the reads held (queueing refuses a tag
            // in use), so the read always finds its place.
            const std::uint64_t tag = read.read_tag;
            if (m_spare_submitted_nodes.empty()) {
                m_submitted_reads.try_emplace(tag, std::move(read));
            } else {
                SubmittedNode node = std::move(m_spare_submitted_nodes.back());
                m_spare_submitted_nodes.pop_back();
                node.key() = tag;
                node.mapped() = std::move(read);
                m_submitted_reads.insert(std::move(node));
            }
            --m_num_queued_reads;
        }
        m_queued_reads.pop_front();
        m_message_queue_in.pop_front();
        hf_trace_context().trace("reads_submitted", [this] { return summary_locked(); });
    }
    m_input_queue_event.notify_all();
}

ReadHolder* ReadBuffer::find_submitted_read(std::uint64_t read_tag) {
    std::lock_guard lock(m_mutex);
    const auto found = m_submitted_reads.find(read_tag);
    return found == m_submitted_reads.end() ? nullptr : &found->second;
}

ReadHolder* ReadBuffer::add_sub_read(ReadHolder&& piece) {
    std::lock_guard lock(m_mutex);
    const auto key = std::make_pair(piece.read_tag, piece.sub_tag);
    return &m_partial_sub_reads.try_emplace(key, std::move(piece)).first->second;
}

void ReadBuffer::read_retrieved(std::uint64_t read_tag) {
    std::lock_guard lock(m_mutex);
    read_retrieved_impl(read_tag);
}

void ReadBuffer::reads_retrieved(const std::vector<ReturnedKey>& returned) {
    std::lock_guard lock(m_mutex);
    for (const auto& [read_tag, sub_tag] : returned) {
        if (sub_tag != 0) {
            sub_read_retrieved_impl(read_tag, sub_tag);
        } else if (m_submitted_reads.count(read_tag) != 0) {
            // A batch naming one read twice has already sent it out once.
            read_retrieved_impl(read_tag);
        }
    }
}

void ReadBuffer::sub_read_retrieved(std::uint64_t read_tag, std::uint64_t sub_tag) {
    std::lock_guard lock(m_mutex);
    sub_read_retrieved_impl(read_tag, sub_tag);
}

void ReadBuffer::read_retrieved_impl(std::uint64_t read_tag) {
    const auto found = m_submitted_reads.find(read_tag);
    if (found == m_submitted_reads.end()) {
        throw std::out_of_range("invalid map<K, T> key");
    }
    SubmittedNode node = m_submitted_reads.extract(found);
    push_out_locked(std::move(node.mapped()));
    if (m_spare_submitted_nodes.size() < max_spare_submitted_nodes) {
        m_spare_submitted_nodes.push_back(std::move(node));
    }
    m_resubmission_counts.erase(read_tag);
    m_tags_held.erase(read_tag);
    release_completed_pieces_locked(read_tag);
    hf_trace_context().trace("read_retrieved_impl", [this] { return summary_locked(); });
}

void ReadBuffer::sub_read_retrieved_impl(std::uint64_t read_tag, std::uint64_t sub_tag) {
    const auto found = m_partial_sub_reads.find(std::make_pair(read_tag, sub_tag));
    if (found == m_partial_sub_reads.end()) {
        return;
    }
    if (m_submitted_reads.count(read_tag) == 0) {
        // The parent has gone out already (earlier in the same batch):
        // nothing would release the piece later, so it follows at once.
        push_out_locked(std::move(found->second));
    } else {
        m_completed_sub_reads[read_tag].try_emplace(sub_tag, std::move(found->second));
    }
    m_partial_sub_reads.erase(found);
}

void ReadBuffer::release_completed_pieces_locked(std::uint64_t read_tag) {
    const auto pieces = m_completed_sub_reads.find(read_tag);
    if (pieces == m_completed_sub_reads.end()) {
        return;
    }
    for (auto& [sub_tag, piece] : pieces->second) {
        push_out_locked(std::move(piece));
    }
    m_completed_sub_reads.erase(pieces);
}

void ReadBuffer::clear_submitted_reads() {
    TraceScope scope(trace_context(), "clear_submitted_reads");
    std::lock_guard lock(m_mutex);
    scope.trace([&] { return "handing back " + std::to_string(m_submitted_reads.size()) + " reads"; });
    for (auto& [tag, read] : m_submitted_reads) {
        push_out_locked(std::move(read));
        release_completed_pieces_locked(tag);
        m_resubmission_counts.erase(tag);
        m_tags_held.erase(tag);
        // Pieces still being assembled will never be completed now.
        m_partial_sub_reads.erase(m_partial_sub_reads.lower_bound({tag, 0}),
                                  m_partial_sub_reads.upper_bound({tag, std::numeric_limits<std::uint64_t>::max()}));
    }
    m_submitted_reads.clear();
}

std::uint64_t ReadBuffer::hand_back_unfinished_reads() {
    TraceScope scope(trace_context(), "hand_back_unfinished_reads");
    std::uint64_t handed_back = 0;
    {
        std::lock_guard lock(m_mutex);
        m_no_more_data = true;
        // The ones sent first, as a new connection would resend them.
        for (auto& [tag, read] : m_submitted_reads) {
            push_out_locked(std::move(read));
            release_completed_pieces_locked(tag);
            ++handed_back;
        }
        m_submitted_reads.clear();
        // Pieces still being assembled will never be completed now.
        m_partial_sub_reads.clear();
        for (Unit& unit : m_queued_reads) {
            for (ReadHolder& read : unit) {
                push_out_locked(std::move(read));
                ++handed_back;
            }
        }
        m_queued_reads.clear();
        m_message_queue_in.clear();
        m_num_queued_reads = 0;
        m_num_samples_in_queued_reads = 0;
        m_resubmission_counts.clear();
        m_tags_held.clear();
        scope.trace([&] { return "handed back " + std::to_string(handed_back) + " reads; " + summary_locked(); });
    }
    m_input_queue_event.notify_all();
    return handed_back;
}

ConnectionErrorInfo ReadBuffer::get_error_state() const {
    std::lock_guard lock(m_mutex);
    return m_error_state;
}

// ---------------------------------------------------------------- configuration

void ReadBuffer::set_work_listener(std::function<void()> listener) {
    std::lock_guard lock(m_mutex);
    m_work_listener = std::move(listener);
}

void ReadBuffer::set_block_size(std::uint64_t block_size) {
    trace_context().trace("set_block_size", std::to_string(block_size));
    std::lock_guard lock(m_mutex);
    m_block_size = std::max<std::uint64_t>(block_size, 1);
}

void ReadBuffer::set_max_input_queue_size(std::uint64_t max_input_queue_size) {
    trace_context().trace("set_max_input_queue_size", std::to_string(max_input_queue_size));
    {
        std::lock_guard lock(m_mutex);
        m_max_input_queue_size = max_input_queue_size;
    }
    m_input_queue_event.notify_all();
}

void ReadBuffer::set_max_read_failures(std::uint64_t max_read_failures) {
    trace_context().trace("set_max_read_failures", std::to_string(max_read_failures));
    std::lock_guard lock(m_mutex);
    m_max_read_failures = max_read_failures;
}

std::deque<ReadHolder> ReadBuffer::fetch_and_empty_submitted_reads(bool& ok) {
    TraceScope scope(trace_context(), "fetch_and_empty_submitted_reads");
    scope.trace([&] { return "num submitted reads: " + std::to_string(m_submitted_reads.size()); });
    std::deque<ReadHolder> fetched;
    for (auto& [tag, read] : m_submitted_reads) {
        std::uint32_t& count = m_resubmission_counts[tag];
        ++count;
        if (count > m_max_read_failures) {
            hf_trace_context().trace("fetch_and_empty_submitted_reads",
                                     [tag = tag] { return "Max resubmission count exceeded for read tag " + std::to_string(tag); });
            ok = false;
        }
        fetched.push_back(std::move(read));
    }
    m_submitted_reads.clear();
    if (!ok) {
        m_resubmission_counts.clear();
    }
    return fetched;
}

void ReadBuffer::set_connection_id(std::string connection_id) {
    TraceScope scope(trace_context(), "set_connection_id", true);
    scope.trace(connection_id);
    std::function<void()> listener;
    {
        std::lock_guard lock(m_mutex);
        m_connection_id = std::move(connection_id);

        std::list<ReadHolder> queued;
        for (Unit& unit : m_queued_reads) {
            for (ReadHolder& read : unit) {
                queued.push_back(std::move(read));
            }
        }
        m_queued_reads.clear();
        m_message_queue_in.clear();
        m_num_queued_reads = 0;
        m_num_samples_in_queued_reads = 0;

        bool ok = true;
        std::deque<ReadHolder> submitted = fetch_and_empty_submitted_reads(ok);
        scope.trace([&] {
            return "requeuing reads, total: " + std::to_string((ok ? submitted.size() : 0) + queued.size());
        });

        bool build_failed = false;
        // Every tag is taken again as its read is requeued.
        m_tags_held.clear();
        const auto requeue = [&](ReadHolder& read) {
            if (!build_failed) {
                bool out_of_memory = false;
                Messages messages = build_raw_block_messages(read, m_connection_id, m_block_size, out_of_memory);
                build_failed = out_of_memory;
                if (!messages.empty()) {
                    try {
                        queue_read_impl(read, std::move(messages));
                        return;
                    } catch (const std::bad_alloc&) {
                        build_failed = true;
                    }
                }
            }
            // Without its messages the read cannot be sent; it goes back.
            push_out_locked(std::move(read));
        };

        if (ok) {
            scope.trace([&] { return "resending " + std::to_string(submitted.size()) + " reads previously sent"; });
            for (ReadHolder& read : submitted) {
                requeue(read);
            }
        } else {
            scope.trace([&] {
                return "Skipping requeuing reads due to repeated server failures, total: " +
                       std::to_string(submitted.size());
            });
            for (ReadHolder& read : submitted) {
                const std::uint64_t tag = read.read_tag;
                push_out_locked(std::move(read));
                release_completed_pieces_locked(tag);
            }
        }
        for (ReadHolder& read : queued) {
            requeue(read);
        }
        if (build_failed) {
            set_error_state_locked({ConnectionError::failed, reads_out_of_memory});
        }
        hf_trace_context().trace("set_connection_id", [this] { return summary_locked(); });
        if (!m_queued_reads.empty()) {
            listener = m_work_listener;
        }
    }
    m_input_queue_event.notify_all();
    if (listener) {
        listener();
    }
}

void ReadBuffer::set_no_more_data() {
    TraceScope scope(trace_context(), "set_no_more_data");
    std::function<void()> listener;
    {
        std::lock_guard lock(m_mutex);
        m_no_more_data = true;
        listener = m_work_listener;
    }
    m_input_queue_event.notify_all();
    if (listener) {
        listener();
    }
}

void ReadBuffer::set_error_state(const ConnectionErrorInfo& error) {
    TraceScope scope(trace_context(), "set_error_state");
    std::function<void()> listener;
    {
        std::lock_guard lock(m_mutex);
        set_error_state_locked(error);
        listener = m_work_listener;
    }
    m_input_queue_event.notify_all();
    if (listener) {
        listener();
    }
}

std::string ReadBuffer::summary_locked() const {
    return "queue(in) " + std::to_string(m_num_queued_reads) + " samples " +
           std::to_string(m_num_samples_in_queued_reads) + ", sent " + std::to_string(m_submitted_reads.size()) +
           ", queue(out) " + std::to_string(m_reads_out.size());
}

}  // namespace corvane
