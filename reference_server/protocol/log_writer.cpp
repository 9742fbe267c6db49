#include "reference_server/protocol/log_writer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "common/runtime/active_object.h"

namespace reference_server {

namespace {

// How long one wait for lines or for room lasts before the stop flag is
// looked at again.
constexpr std::chrono::milliseconds wait_step(100);

}  // namespace

LogWriter::LogWriter(int fd, std::size_t max_queued_lines) : m_fd(fd), m_max_queued_lines(max_queued_lines) {}

LogWriter::~LogWriter() { stop(std::chrono::milliseconds(0)); }

void LogWriter::start() {
    if (m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    m_thread = std::thread(&LogWriter::run, this);
}

void LogWriter::write(std::string line) {
    {
        std::lock_guard lock(m_mutex);
        if (m_lines.size() >= m_max_queued_lines) {
            ++m_dropped;
            return;
        }
        line += '\n';
        m_lines.push_back(std::move(line));
    }
    m_queued.notify_one();
}

void LogWriter::stop(std::chrono::milliseconds grace) {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_give_up_at = Clock::now() + grace;
    }
    m_queued.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard lock(m_mutex);
    m_dropped += m_lines.size();
    m_lines.clear();
}

void LogWriter::run() {
    common::set_current_thread_name("ref_log");
    while (true) {
        std::deque<std::string> lines;
        {
            std::unique_lock lock(m_mutex);
            m_queued.wait_for(lock, wait_step, [this] { return m_stopping || !m_lines.empty(); });
            if (m_lines.empty()) {
                if (m_stopping) {
                    return;
                }
                continue;
            }
            lines.swap(m_lines);
        }
        write_out(lines);
    }
}

bool LogWriter::wait_for_room() {
    while (true) {
        pollfd item{m_fd, POLLOUT, 0};
        const int ready = ::poll(&item, 1, static_cast<int>(wait_step.count()));
        if (ready > 0) {
            // An error or hang-up is left for write() to report.
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        std::lock_guard lock(m_mutex);
        if (m_stopping && Clock::now() >= m_give_up_at) {
            return false;
        }
    }
}

void LogWriter::write_out(const std::deque<std::string>& lines) {
    // One buffer for all of them, written in chunks a pipe takes whole.
    std::string bytes;
    std::vector<std::size_t> line_ends;
    line_ends.reserve(lines.size());
    for (const std::string& line : lines) {
        bytes += line;
        line_ends.push_back(bytes.size());
    }
    std::size_t done = 0;
    while (done < bytes.size() && !m_reader_gone && wait_for_room()) {
        // Whole lines where they fit, so that giving up cuts none.
        std::size_t chunk = std::min<std::size_t>(bytes.size() - done, PIPE_BUF);
        if (done + chunk < bytes.size()) {
            if (const auto last = bytes.rfind('\n', done + chunk - 1); last != std::string::npos && last >= done) {
                chunk = last + 1 - done;
            }
        }
        const ssize_t written = ::write(m_fd, bytes.data() + done, chunk);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
            m_reader_gone = true;
        }
    }
    // Lines not written whole are dropped.
    m_dropped += static_cast<std::uint64_t>(line_ends.end() - std::upper_bound(line_ends.begin(), line_ends.end(), done));
}

}  // namespace reference_server
