#include "support/thread_cpu.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace bench_support {

namespace {

std::filesystem::path task_folder(pid_t tid) {
    return std::filesystem::path("/proc/self/task") / std::to_string(tid);
}

// Negative once the thread has gone.
double run_seconds(pid_t tid) {
    std::ifstream stats(task_folder(tid) / "schedstat");
    unsigned long long nanoseconds = 0;
    if (!(stats >> nanoseconds)) {
        return -1;
    }
    return static_cast<double>(nanoseconds) * 1e-9;
}

}  // namespace

std::set<pid_t> thread_ids() {
    std::set<pid_t> ids;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        ids.insert(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    }
    return ids;
}

ThreadGroup::ThreadGroup(const std::set<pid_t>& before) {
    std::set<pid_t> members;
    for (const pid_t tid : thread_ids()) {
        if (before.count(tid) == 0) {
            members.insert(tid);
        }
    }
    members.insert(::gettid());
    for (const pid_t tid : members) {
        const double now = run_seconds(tid);
        if (now >= 0) {
            m_members.push_back({tid, now, now});
        }
    }
}

double ThreadGroup::cpu_seconds() {
    double total = 0;
    for (Member& member : m_members) {
        if (const double now = run_seconds(member.tid); now >= 0) {
            member.last = now;
        }
        total += member.last - member.start;
    }
    return total;
}

std::vector<std::string> ThreadGroup::names() const {
    std::vector<std::string> names;
    for (const Member& member : m_members) {
        std::ifstream comm(task_folder(member.tid) / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    return names;
}

}  // namespace bench_support
