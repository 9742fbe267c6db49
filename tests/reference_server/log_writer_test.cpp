// The server's log writer against a pipe: a reader who stops reading costs
// lines, never the writing thread's progress, and whatever is written is
// whole lines in order.

#include "reference_server/protocol/log_writer.h"

#include <csignal>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using reference_server::LogWriter;

class Pipe {
public:
    Pipe() {
        EXPECT_EQ(::pipe(m_fds), 0);
        // Reading back must not wait for lines that never come.
        ::fcntl(m_fds[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        close_reader();
        ::close(m_fds[1]);
    }
    int writer() const { return m_fds[1]; }
    void close_reader() {
        if (m_fds[0] >= 0) {
            ::close(m_fds[0]);
            m_fds[0] = -1;
        }
    }
    std::string drain() {
        std::string text;
        char buffer[65536];
        for (ssize_t n; (n = ::read(m_fds[0], buffer, sizeof(buffer))) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int m_fds[2] = {-1, -1};
};

std::string line_of(int i) { return "line " + std::to_string(i) + std::string(90, '.'); }

}  // namespace

TEST(LogWriterTest, AReaderWhoStopsReadingCostsLinesNotTheWriter) {
    Pipe pipe;
    LogWriter log(pipe.writer(), 5000);
    log.start();
    // Far more than a pipe holds (64 KiB) and than the queue holds (5,000
    // lines, itself more than the pipe): each write returns, and the stop
    // below returns, although nobody reads.
    constexpr int lines = 20000;
    for (int i = 0; i < lines; ++i) {
        log.write(line_of(i));
    }
    log.stop(std::chrono::milliseconds(50));
    EXPECT_GT(log.dropped(), 0u);

    // What got through is whole lines, in order, each one written once.
    const std::string text = pipe.drain();
    ASSERT_FALSE(text.empty());
    std::size_t start = 0;
    int previous = -1;
    std::uint64_t written = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        const int number = std::stoi(line.substr(5));
        ASSERT_EQ(line, line_of(number));
        ASSERT_GT(number, previous);
        previous = number;
        ++written;
    }
    EXPECT_EQ(start, text.size()) << "a line was cut short";
    EXPECT_EQ(written + log.dropped(), static_cast<std::uint64_t>(lines));
}

TEST(LogWriterTest, WritesEveryLineToAReaderAndDropsAllOnceItHasGone) {
    std::signal(SIGPIPE, SIG_IGN);  // as the server's main does
    Pipe pipe;
    LogWriter log(pipe.writer());
    log.start();
    log.write("first");
    log.write("second");
    log.stop(std::chrono::seconds(5));
    EXPECT_EQ(pipe.drain(), "first\nsecond\n");
    EXPECT_EQ(log.dropped(), 0u);

    pipe.close_reader();
    LogWriter orphan(pipe.writer());
    orphan.start();
    orphan.write("nobody reads this");
    orphan.stop(std::chrono::seconds(5));
    EXPECT_EQ(orphan.dropped(), 1u);
}
