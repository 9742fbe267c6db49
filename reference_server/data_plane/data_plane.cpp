#include "reference_server/data_plane/data_plane.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ipc_tools/wire_format.h"

namespace reference_server {

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;
namespace wire = ipc_tools::wire;

// The longest genome name the client accepts, and one past it.
constexpr std::size_t longest_genome_name = 252;
constexpr std::size_t overlong_genome_name = longest_genome_name + 1;

void add_alignment_to(CalledResult& result, std::size_t genome_name_length) {
    AlignmentHit hit;
    hit.genome = std::string(genome_name_length, 'g');
    hit.genome_end = 1;
    result.alignments.push_back(std::move(hit));
}

Message reply_of(MessageType type, const std::string& text = {}, std::int32_t value = 0) {
    return Message(type, "", value, text);
}

Message empty_first_called_block(const std::string& client_id) {
    flatbuffers::FlatBufferBuilder builder(64);
    const auto block = wire::CreateReadBlock(builder, wire::BlockKind::FIRST_CALLED_BLOCK);
    ipc_tools::finish_envelope(builder, client_id, wire::MessageData::ReadBlock, block.Union());
    return Message(builder);
}

void malform(CalledResult& result, Malformation malformation) {
    switch (malformation) {
    case Malformation::zero_duration:
        result.duration = 0;
        break;
    case Malformation::long_genome_name:
        add_alignment_to(result, overlong_genome_name);
        break;
    case Malformation::longest_genome_name:
        add_alignment_to(result, longest_genome_name);
        break;
    case Malformation::bad_orientation:
        result.strand_orientation_code = 2;
        break;
    case Malformation::empty_base_mod_alphabet:
        result.base_mod = BaseModResult{"", "", "_:XG:_:_"};
        break;
    case Malformation::short_context_mask:
        // Present but empty: no bits at all for the block's bases.
        if (result.sequence.empty()) {
            result.sequence = "A";
            result.qstring = "+";
        }
        result.base_mod_context_mask = std::vector<bool>();
        break;
    case Malformation::blank_in_read_name:
        result.strand_id += " x";
        break;
    case Malformation::none:
    case Malformation::wrong_batch_kind:
    case Malformation::wrong_continuation_kind:
    case Malformation::repeat_in_batch:
        break;
    }
}

std::chrono::nanoseconds calling_latency(const DataPlaneSetting& settings, std::size_t samples) {
    // The settings file bounds the rate; the clamp keeps settings made in
    // code from overflowing the clock (llround of a value past it is 0).
    constexpr double max_ms = 1e12;
    const double ms = std::min(settings.latency_ms_per_read +
                                   settings.latency_ms_per_1000_samples * static_cast<double>(samples) / 1000.0,
                               max_ms);
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(ms * 1e6)));
}

}  // namespace

DataPlane::DataPlane(const ServerSettings& settings, CallRead call_read)
    : m_settings(settings.data_plane),
      m_kits(settings.barcode_kits),
      m_default_timeout(settings.client_expiry_s),
      m_call_read(std::move(call_read)) {
    if (m_settings.caller_threads > 0) {
        m_callers = std::make_unique<CallerPool>(m_call_read, m_settings.caller_threads);
    }
}

DataPlane::~DataPlane() { stop_calling(); }

void DataPlane::start_calling() {
    if (m_callers) {
        m_callers->start();
    }
}

void DataPlane::stop_calling() {
    if (m_callers) {
        m_callers->stop();
    }
}

void DataPlane::open(const std::string& client_id,
                     const ConnectRequest& request,
                     const ConfigurationSetting& configuration,
                     Clock::time_point now,
                     std::shared_ptr<const ResultAligner> aligner) {
    Session session;
    session.assembler = ReadAssembler({m_settings.max_partial_reads, m_settings.max_read_samples});
    session.epoch = m_next_epoch++;
    session.last_heard = now;
    session.aligner = std::move(aligner);
    auto caller_options = std::make_shared<CallerOptions>();
    CallerOptions& options = *caller_options;
    // Moves are always made; each GET_FIRST_CALLED_BLOCK says whether they are sent.
    options.moves = true;
    options.modified_bases = !configuration.modbase_model_version_id.empty();
    options.barcode_kits = kit_names_of(request.barcode_kits);
    options.estimate_poly_a = request.estimate_poly_a;
    options.duplex = configuration.duplex;
    options.split_reads = m_settings.split_reads;
    options.max_pieces = m_settings.max_pieces_per_read;
    options.model_version_id = configuration.model_version_id;
    options.modbase_model_version_id = configuration.modbase_model_version_id;
    options.kit_definitions = m_kits;
    session.options = std::move(caller_options);
    // A client that names no timeout of its own still goes when it falls
    // silent, with whatever it left behind.
    session.timeout = request.timeout_interval > 0 ? std::chrono::seconds(request.timeout_interval) : m_default_timeout;
    if (const auto previous = m_sessions.find(client_id); previous != m_sessions.end()) {
        erase(previous);
    }
    Session& opened = m_sessions.emplace(client_id, std::move(session)).first->second;
    m_by_epoch[opened.epoch] = &opened;
}

void DataPlane::close(const std::string& client_id) {
    if (const auto session = m_sessions.find(client_id); session != m_sessions.end()) {
        erase(session);
    }
}

void DataPlane::erase(std::unordered_map<std::string, Session>::iterator session) {
    forget_calls(session->second);
    m_by_epoch.erase(session->second.epoch);
    m_sessions.erase(session);
}

void DataPlane::clear() {
    if (m_callers) {
        m_callers->drop_all();
    }
    m_sessions.clear();
    m_by_epoch.clear();
}

void DataPlane::forget_calls(Session& session) {
    if (m_callers && !session.in_flight.empty()) {
        m_callers->drop(session.epoch);
    }
    m_by_epoch.erase(session.epoch);
    session.epoch = m_next_epoch++;
    m_by_epoch[session.epoch] = &session;
    for (const InFlight& read : session.in_flight) {
        session.held_bytes -= read.signal_bytes;
    }
    session.in_flight.clear();
}

void DataPlane::collect_calls() {
    if (!m_callers) {
        return;
    }
    for (FinishedCall& call : m_callers->take_finished()) {
        // A call of a dropped session, or of an epoch since forgotten, matches none.
        if (const auto session = m_by_epoch.find(call.epoch); session != m_by_epoch.end()) {
            deliver(*session->second, call.sequence, std::move(call.results));
        }
    }
}

void DataPlane::deliver(Session& session, std::uint64_t sequence, std::vector<CalledResult> results) {
    if (session.in_flight.empty() || sequence < session.in_flight.front().sequence) {
        return;
    }
    const std::size_t place = sequence - session.in_flight.front().sequence;
    if (place >= session.in_flight.size()) {
        return;
    }
    InFlight& read = session.in_flight[place];
    read.called = true;
    read.results = std::move(results);
    // Reads join the queue in the order they were accepted.
    while (!session.in_flight.empty() && session.in_flight.front().called) {
        InFlight& done = session.in_flight.front();
        session.held_bytes -= done.signal_bytes;
        for (std::size_t i = 0; i < done.results.size(); ++i) {
            const std::uint64_t bytes = held_bytes(done.results[i]);
            session.held_bytes += bytes;
            session.calling.push_back(
                {done.ready_at, std::move(done.results[i]), i + 1 == done.results.size(), bytes});
        }
        // A read the caller makes nothing of still leaves the queue, unanswered.
        if (done.results.empty()) {
            --session.reads_pending;
        }
        session.in_flight.pop_front();
    }
}

void DataPlane::touch(const std::string& client_id, Clock::time_point now) {
    if (Session* session = find(client_id)) {
        session->last_heard = now;
    }
}

std::vector<std::string> DataPlane::expire(Clock::time_point now) {
    // Timeouts are whole seconds: a look every tenth of one is soon enough,
    // and keeps a server of many clients from walking them per request.
    constexpr std::chrono::milliseconds expiry_step(100);
    std::vector<std::string> expired;
    if (now < m_next_expiry) {
        return expired;
    }
    m_next_expiry = now + expiry_step;
    for (auto session = m_sessions.begin(); session != m_sessions.end();) {
        const auto timeout = session->second.timeout;
        const auto next = std::next(session);
        if (timeout.count() > 0 && now - session->second.last_heard > timeout) {
            expired.push_back(session->first);
            erase(session);
        }
        session = next;
    }
    return expired;
}

DataPlane::Session* DataPlane::find(const std::string& client_id) {
    const auto session = m_sessions.find(client_id);
    return session == m_sessions.end() ? nullptr : &session->second;
}

DataPlane::Session* DataPlane::find_or_refuse(const ReceivedRequest& request, Answer& answer) {
    Session* session = find(request.client_id());
    if (session == nullptr) {
        answer.reply = reply_of(MessageType::CLIENT_NOT_RECOGNISED);
    }
    return session;
}

std::uint64_t DataPlane::held(const Session& session) {
    return session.held_bytes + sizeof(std::int16_t) * session.assembler.declared_samples();
}

std::optional<Message> DataPlane::refusal_of(const Session& session, const ReceivedRequest& request) const {
    const MessageType type = request.type();
    // A read begun is always let finish: its blocks were counted with its first.
    if (type == MessageType::PASS_NEXT_RAW_BLOCK) {
        return std::nullopt;
    }
    if (session.reads_pending >= m_settings.max_queued_reads) {
        return reply_of(MessageType::NOT_READY);
    }
    std::uint64_t incoming = 0;
    if (const wire::ReadBatch* batch = request.envelope()->data_as_ReadBatch(); batch && batch->blocks()) {
        const std::size_t reads = batch->blocks()->size();
        if (reads > m_settings.max_queued_reads) {
            return reply_of(MessageType::BAD_REQUEST, "Read refused: a batch of " + std::to_string(reads) +
                                                          " reads, more than the " +
                                                          std::to_string(m_settings.max_queued_reads) +
                                                          " this server queues for a client");
        }
        if (session.reads_pending + reads > m_settings.max_queued_reads) {
            return reply_of(MessageType::NOT_READY);
        }
        for (const wire::ReadBlock* block : *batch->blocks()) {
            incoming += sizeof(std::int16_t) * block->duration();
        }
    } else if (const wire::ReadBlock* block = request.envelope()->data_as_ReadBlock()) {
        incoming = sizeof(std::int16_t) * block->duration();
    }
    const std::uint64_t holding = held(session);
    if (holding > 0 && holding + incoming > m_settings.max_queued_bytes) {
        return reply_of(MessageType::NOT_READY);
    }
    return std::nullopt;
}

DataPlane::Answer DataPlane::pass_reads(const ReceivedRequest& request,
                                        Clock::time_point now,
                                        std::chrono::milliseconds extra_latency) {
    Answer answer;
    collect_calls();
    Session* session = find_or_refuse(request, answer);
    if (session == nullptr) {
        return answer;
    }
    const MessageType type = request.type();
    // A batch is checked first, which changes nothing: a batch that breaks
    // the rules is refused as such even when the queue is full. A raw
    // block is taken by the assembler, so room is looked for first.
    std::optional<ReadAssembler::BatchCheck> batch_check;
    if (type == MessageType::PASS_READ_BATCH) {
        batch_check = session->assembler.check_batch(*request.envelope());
        if (!batch_check->error.empty()) {
            answer.reply = reply_of(MessageType::BAD_REQUEST, "Read refused: " + batch_check->error);
            return answer;
        }
    }
    if (auto refusal = refusal_of(*session, request)) {
        answer.reply = std::move(*refusal);
        return answer;
    }
    // A batch's reads are sent whole and made on the caller when they are
    // called: answering the batch takes its checks and its bookkeeping only.
    std::vector<CallJob> jobs;
    const auto add_job = [&](CallJob job, std::size_t samples) {
        job.epoch = session->epoch;
        job.sequence = session->next_sequence++;
        job.options = session->options;
        job.aligner = session->aligner;
        const std::uint64_t signal_bytes = sizeof(std::int16_t) * samples;
        session->held_bytes += signal_bytes;
        session->in_flight.push_back(
            {job.sequence, now + calling_latency(m_settings, samples) + extra_latency, false, {}, signal_bytes});
        ++session->reads_pending;
        ++answer.reads_in;
        if (m_callers) {
            jobs.push_back(std::move(job));
        } else {
            const std::uint64_t sequence = job.sequence;
            deliver(*session, sequence, call_job(m_call_read, job));
        }
    };
    if (type == MessageType::PASS_READ_BATCH) {
        const ReadAssembler::BatchCheck& check = *batch_check;
        jobs.reserve(m_callers ? check.blocks.size() : 0);
        for (const ipc_tools::wire::ReadBlock* block : check.blocks) {
            CallJob job;
            job.block = block;
            job.frame = request.bytes_owner();
            add_job(std::move(job), block->duration());
        }
    } else {
        ReadAssembler::Outcome outcome = session->assembler.add(type, *request.envelope());
        if (!outcome.accepted) {
            answer.reply = reply_of(MessageType::BAD_REQUEST, "Read refused: " + outcome.error);
            return answer;
        }
        for (ReceivedRead& read : outcome.completed) {
            CallJob job;
            const std::size_t samples = read.signal().size();
            if (!read.frame_samples.empty()) {
                job.frame = request.bytes_owner();
            }
            job.read = std::make_unique<const ReceivedRead>(std::move(read));
            add_job(std::move(job), samples);
        }
    }
    if (m_callers) {
        m_callers->submit(std::move(jobs));
    }
    answer.reply = reply_of(type == MessageType::PASS_READ_BATCH ? MessageType::BATCH_ACCEPTED
                                                                 : MessageType::RAW_BLOCK_ACCEPTED);
    return answer;
}

std::vector<CalledResult> DataPlane::take_ready(Session& session, Clock::time_point now) {
    std::vector<CalledResult> ready;
    const auto take = [&](Pending& pending) {
        if (pending.last_of_read) {
            --session.reads_pending;
        }
        session.held_bytes -= pending.bytes;
        ready.push_back(std::move(pending.result));
    };
    // Results usually become ready in the order they were queued: take them
    // off the front, and move the rest of the queue only when a result that
    // is still being called stands before ready ones.
    while (!session.calling.empty() && ready.size() < m_settings.max_completed_batch &&
           session.calling.front().ready_at <= now) {
        take(session.calling.front());
        session.calling.pop_front();
    }
    if (session.calling.empty() || ready.size() >= m_settings.max_completed_batch) {
        return ready;
    }
    std::deque<Pending> waiting;
    for (Pending& pending : session.calling) {
        if (pending.ready_at <= now && ready.size() < m_settings.max_completed_batch) {
            take(pending);
        } else {
            waiting.push_back(std::move(pending));
        }
    }
    session.calling = std::move(waiting);
    return ready;
}

void DataPlane::keep_continuations(Session& session, const CalledResult& result, std::vector<Message> blocks) {
    if (blocks.empty()) {
        return;
    }
    Continuation& kept = session.continuations[{result.read_tag, result.strand_id}];
    // The result's bytes shared out over its blocks, the first one sent.
    kept.bytes_per_block = std::max<std::uint64_t>(held_bytes(result) / (blocks.size() + 1), 1);
    session.held_bytes += kept.bytes_per_block * blocks.size();
    for (Message& block : blocks) {
        kept.blocks.push_back(std::move(block));
    }
}

DataPlane::Answer DataPlane::get_first_called_block(const ReceivedRequest& request,
                                                    Clock::time_point now,
                                                    Malformation malformation) {
    Answer answer;
    collect_calls();
    Session* session = find_or_refuse(request, answer);
    if (session == nullptr) {
        return answer;
    }
    std::vector<CalledResult> ready = take_ready(*session, now);
    if (ready.empty()) {
        answer.reply = reply_of(MessageType::NONE_PENDING);
        return answer;
    }
    const bool moves = request.value() == 1;
    for (CalledResult& result : ready) {
        if (!moves) {
            result.moves.reset();
        }
        malform(result, malformation);
    }
    answer.reads_out = static_cast<std::uint32_t>(ready.size());
    if (malformation == Malformation::repeat_in_batch) {
        ready.push_back(ready.front());
    }
    const std::string& client_id = request.client_id();
    const std::uint32_t bases = m_settings.called_block_bases;
    if (ready.size() == 1 && malformation != Malformation::wrong_batch_kind) {
        std::vector<Message> blocks = make_called_block_replies(ready.front(), client_id, bases);
        answer.reply = std::move(blocks.front());
        blocks.erase(blocks.begin());
        keep_continuations(*session, ready.front(), std::move(blocks));
        return answer;
    }
    const auto kind = malformation == Malformation::wrong_batch_kind ? wire::BatchKind::READ_BATCH
                                                                     : wire::BatchKind::COMPLETED_BATCH;
    CompletedBatchReply batch = make_completed_batch_reply(ready, client_id, bases, kind);
    for (std::size_t i = 0; i < ready.size(); ++i) {
        keep_continuations(*session, ready[i], std::move(batch.continuations[i]));
    }
    answer.reply = std::move(batch.batch);
    return answer;
}

DataPlane::Answer DataPlane::get_next_called_block(const ReceivedRequest& request, Malformation malformation) {
    Answer answer;
    Session* session = find_or_refuse(request, answer);
    if (session == nullptr) {
        return answer;
    }
    const auto key = std::make_pair(static_cast<std::uint32_t>(request.value()), request.text());
    const auto found = session->continuations.find(key);
    if (found == session->continuations.end()) {
        answer.reply = reply_of(MessageType::BAD_REQUEST, "No further block of read tag " + std::to_string(key.first) +
                                                              " with strand id \"" + key.second + "\" is due.");
        return answer;
    }
    Continuation& kept = found->second;
    if (malformation == Malformation::wrong_continuation_kind) {
        session->held_bytes -= kept.bytes_per_block * kept.blocks.size();
        session->continuations.erase(found);
        answer.reply = empty_first_called_block(request.client_id());
        return answer;
    }
    answer.reply = std::move(kept.blocks.front());
    kept.blocks.pop_front();
    session->held_bytes -= kept.bytes_per_block;
    if (kept.blocks.empty()) {
        session->continuations.erase(found);
    }
    return answer;
}

std::size_t DataPlane::lose_reads(const std::string& client_id) {
    Session* session = find(client_id);
    if (session == nullptr) {
        return 0;
    }
    const std::size_t lost = session->reads_pending + session->assembler.partial_count();
    session->assembler = ReadAssembler({m_settings.max_partial_reads, m_settings.max_read_samples});
    forget_calls(*session);
    session->calling.clear();
    session->continuations.clear();
    session->reads_pending = 0;
    session->held_bytes = 0;
    return lost;
}

DataPlane::Backlog DataPlane::backlog(const std::string& client_id) {
    collect_calls();
    const auto session = m_sessions.find(client_id);
    if (session == m_sessions.end()) {
        return {};
    }
    return {static_cast<std::uint32_t>(session->second.assembler.partial_count()), session->second.reads_pending,
            held(session->second)};
}

}  // namespace reference_server
