#pragma once

// CPU time of a chosen set of this process's threads, for benchmarks whose
// process also runs the server they talk to: the client's own work is the
// calling thread plus the threads that started after a snapshot taken just
// before the client was made (its worker, its notifier, its ZeroMQ I/O
// threads), and not the server's, which were running already.
//
//   const auto before = bench_support::thread_ids();
//   apps::Corvane client(...);             // starts the client's threads
//   client.connect();
//   bench_support::ThreadGroup client_threads(before);
//   ... work ...
//   double seconds = client_threads.cpu_seconds();  // since the group was made
//
// Times come from the kernel's per-thread scheduler statistics, in
// nanoseconds (user and system time together), read while the threads run,
// with how often each thread was put on a CPU.

#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench_support {

// The kernel ids of this process's threads now.
std::set<pid_t> thread_ids();

class ThreadGroup {
public:
    struct Usage {
        double cpu_seconds = 0;
        // How often the kernel put the thread on a CPU: its wake-ups, plus
        // its returns after being preempted.
        double times_scheduled = 0;
    };

    // The calling thread and every thread of the process not in `before`.
    explicit ThreadGroup(const std::set<pid_t>& before);

    // CPU seconds the group's threads have run since the group was made.
    // A thread that has ended by now counts what it had run when last seen.
    double cpu_seconds();

    // The threads' names, for checking which threads are counted.
    std::vector<std::string> names() const;

    // Usage per thread name (threads of one name added up) since the group
    // was made, as of the last cpu_seconds() call.
    std::map<std::string, Usage> usage_by_name() const;

private:
    struct Member {
        pid_t tid;
        std::string name;
        Usage start;
        Usage last;
    };
    std::vector<Member> m_members;
};

}  // namespace bench_support
