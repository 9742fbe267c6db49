#pragma once

// The threads that call the reads a data plane accepts, so that a push is
// answered at once and the calling happens beside the answering. A job is
// one completed read with what its client's calls need; a finished call
// carries the job's session epoch and sequence back, and the server thread
// takes finished calls when it next looks (take_finished). Each read is
// called and then aligned on a caller thread; the caller and the aligner
// must be safe to call from several threads at once.
//
// Jobs are called in the order submitted (with one thread they also finish
// in that order). drop() forgets the queued jobs of a session; a call
// already under way still finishes, and its session epoch tells the server
// thread to discard it.
//
// submit, drop, drop_all and take_finished: any thread (the server thread in
// practice). start and stop: the owner. stop is prompt: it waits only for the
// calls under way, and keeps the queued jobs for a later start.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/caller_options.h"
#include "reference_server/data_plane/read_assembler.h"
#include "reference_server/data_plane/result_aligner.h"

namespace reference_server {

struct CallJob {
    std::uint64_t epoch = 0;     // of the session the read belongs to
    std::uint64_t sequence = 0;  // the read's place among its session's reads
    // The read, or the block of a read sent whole in a batch, which is made
    // into a read when it is called (read_in_place), so that the server
    // thread answers a batch without making its reads. A job is moved a few
    // times on its way: it holds the read by pointer.
    std::unique_ptr<const ReceivedRead> read;
    const ipc_tools::wire::ReadBlock* block = nullptr;
    // What the read's frame_samples, or the block, point into, if anything.
    std::shared_ptr<const void> frame;
    std::shared_ptr<const CallerOptions> options;
    std::shared_ptr<const ResultAligner> aligner;  // null: results stay unaligned
};

struct FinishedCall {
    std::uint64_t epoch = 0;
    std::uint64_t sequence = 0;
    std::vector<CalledResult> results;
};

// Calls one read and aligns its results; a caller that throws gives no
// results (logged), so the read still leaves its client's queue.
std::vector<CalledResult> call_job(const CallRead& call_read, const CallJob& job);

class CallerPool {
public:
    CallerPool(CallRead call_read, std::size_t threads);
    ~CallerPool();
    CallerPool(const CallerPool&) = delete;
    CallerPool& operator=(const CallerPool&) = delete;

    void start();
    void stop();

    // The jobs of one request, in order.
    void submit(std::vector<CallJob> jobs);
    void drop(std::uint64_t epoch);
    void drop_all();
    // The calls finished since the last take, in the order they finished.
    std::vector<FinishedCall> take_finished();

private:
    void run();

    const CallRead m_call_read;
    const std::size_t m_thread_count;
    std::vector<std::thread> m_threads;  // the owner's

    std::mutex m_mutex;
    std::condition_variable m_job_queued;
    std::deque<CallJob> m_jobs;             // guarded by m_mutex
    std::vector<FinishedCall> m_finished;   // guarded by m_mutex
    bool m_stopping = false;                // guarded by m_mutex
};

}  // namespace reference_server
