#include "reference_server/data_plane/caller_pool.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "common/runtime/active_object.h"
#include "common/runtime/logger.h"

namespace reference_server {

namespace {

// Bounds an idle caller's wait; stop() wakes it at once.
constexpr std::chrono::milliseconds idle_wait(200);

}  // namespace

std::vector<CalledResult> call_job(const CallRead& call_read, const CallJob& job) {
    std::vector<CalledResult> results;
    const ReceivedRead* read = job.read.get();
    try {
        std::optional<ReceivedRead> made;
        if (read == nullptr) {
            read = &made.emplace(read_in_place(*job.block));
        }
        results = call_read(*read, *job.options);
        if (job.aligner) {
            job.aligner->align(results);
        }
    } catch (const std::exception& error) {
        QOR_LOG_ERROR("reference server: calling read tag " << (job.read ? job.read->read_tag : job.block->read_tag())
                                                            << " failed: " << error.what());
        results.clear();
    }
    return results;
}

CallerPool::CallerPool(CallRead call_read, std::size_t threads)
    : m_call_read(std::move(call_read)), m_thread_count(std::max<std::size_t>(threads, 1)) {}

CallerPool::~CallerPool() { stop(); }

void CallerPool::start() {
    if (!m_threads.empty()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    for (std::size_t i = 0; i < m_thread_count; ++i) {
        m_threads.emplace_back(&CallerPool::run, this);
    }
}

void CallerPool::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_job_queued.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
}

void CallerPool::submit(std::vector<CallJob> jobs) {
    if (jobs.empty()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        for (CallJob& job : jobs) {
            m_jobs.push_back(std::move(job));
        }
    }
    if (jobs.size() > 1) {
        m_job_queued.notify_all();
    } else {
        m_job_queued.notify_one();
    }
}

void CallerPool::drop(std::uint64_t epoch) {
    std::deque<CallJob> dropped;  // freed outside the lock
    std::lock_guard lock(m_mutex);
    const auto first = std::stable_partition(m_jobs.begin(), m_jobs.end(),
                                             [epoch](const CallJob& job) { return job.epoch != epoch; });
    std::move(first, m_jobs.end(), std::back_inserter(dropped));
    m_jobs.erase(first, m_jobs.end());
}

void CallerPool::drop_all() {
    std::deque<CallJob> dropped;
    std::lock_guard lock(m_mutex);
    dropped.swap(m_jobs);
}

std::vector<FinishedCall> CallerPool::take_finished() {
    std::vector<FinishedCall> finished;
    std::lock_guard lock(m_mutex);
    finished.swap(m_finished);
    return finished;
}

void CallerPool::run() {
    common::set_current_thread_name("ref_caller");
    while (true) {
        CallJob job;
        {
            std::unique_lock lock(m_mutex);
            if (!m_job_queued.wait_for(lock, idle_wait, [this] { return m_stopping || !m_jobs.empty(); })) {
                continue;
            }
            if (m_stopping) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        FinishedCall call{job.epoch, job.sequence, call_job(m_call_read, job)};
        // The job's frame and signal go before the results are handed over.
        job = CallJob{};
        std::lock_guard lock(m_mutex);
        m_finished.push_back(std::move(call));
    }
}

}  // namespace reference_server
