#pragma once

// Writes the reference server's log lines to a file descriptor (its
// standard output) on a thread of its own, so that a reader who stops
// reading never holds up the thread that answers clients.
//
// Lines wait in a bounded queue; a line that finds it full is dropped and
// counted. The writer does not block in write(2) either: it waits for room
// with poll(2) in bounded steps and writes at most PIPE_BUF bytes at a
// time, which a pipe with room takes whole. A reader that has gone (EPIPE)
// makes every later line dropped. Stopping is prompt: what is still queued
// gets a bounded grace to be written, and whatever is left is dropped.
//
// write() and dropped(): any thread. start() and stop(): the owner.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace reference_server {

class LogWriter {
public:
    static constexpr std::size_t default_max_queued_lines = 10000;

    explicit LogWriter(int fd, std::size_t max_queued_lines = default_max_queued_lines);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void start();
    // Queues the line (a newline is added); never blocks.
    void write(std::string line);
    // Writes what is queued for at most `grace`, then ends the thread.
    void stop(std::chrono::milliseconds grace);
    // Lines dropped so far: found the queue full, or could not be written.
    std::uint64_t dropped() const { return m_dropped.load(); }

private:
    using Clock = std::chrono::steady_clock;

    void run();
    // Writer thread: writes the lines, counting those it gives up on.
    void write_out(const std::deque<std::string>& lines);
    // Writer thread: whether the descriptor has room, waiting in steps
    // until it has or the stop's grace has passed.
    bool wait_for_room();

    const int m_fd;
    const std::size_t m_max_queued_lines;
    std::thread m_thread;  // the owner's
    std::atomic<std::uint64_t> m_dropped{0};
    bool m_reader_gone = false;  // writer thread only

    mutable std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<std::string> m_lines;  // guarded by m_mutex
    bool m_stopping = false;          // guarded by m_mutex
    Clock::time_point m_give_up_at;   // guarded by m_mutex; set with m_stopping
};

}  // namespace reference_server
