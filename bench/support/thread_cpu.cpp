#include "support/thread_cpu.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include <unistd.h>

namespace bench_support {

namespace {

std::filesystem::path task_folder(pid_t tid) {
    return std::filesystem::path("/proc/self/task") / std::to_string(tid);
}

std::string thread_name(pid_t tid) {
    std::ifstream comm(task_folder(tid) / "comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The kernel's scheduler statistics of a thread: nanoseconds on a CPU,
// nanoseconds waiting for one, and how many times it was put on one.
// Nothing once the thread has gone.
std::optional<ThreadGroup::Usage> usage_of(pid_t tid) {
    std::ifstream stats(task_folder(tid) / "schedstat");
    unsigned long long run_ns = 0;
    unsigned long long wait_ns = 0;
    unsigned long long slices = 0;
    if (!(stats >> run_ns >> wait_ns >> slices)) {
        return std::nullopt;
    }
    return ThreadGroup::Usage{static_cast<double>(run_ns) * 1e-9, static_cast<double>(slices)};
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
        if (const auto now = usage_of(tid)) {
            m_members.push_back({tid, thread_name(tid), *now, *now});
        }
    }
}

double ThreadGroup::cpu_seconds() {
    double total = 0;
    for (Member& member : m_members) {
        if (const auto now = usage_of(member.tid)) {
            member.last = *now;
            // A thread names itself once it runs, which a thread started
            // just before the group was made may not have done yet: until
            // then it carries its parent's name.
            if (std::string name = thread_name(member.tid); !name.empty()) {
                member.name = std::move(name);
            }
        }
        total += member.last.cpu_seconds - member.start.cpu_seconds;
    }
    return total;
}

std::vector<std::string> ThreadGroup::names() const {
    std::vector<std::string> names;
    for (const Member& member : m_members) {
        names.push_back(member.name);
    }
    return names;
}

std::map<std::string, ThreadGroup::Usage> ThreadGroup::usage_by_name() const {
    std::map<std::string, Usage> by_name;
    for (const Member& member : m_members) {
        Usage& usage = by_name[member.name];
        usage.cpu_seconds += member.last.cpu_seconds - member.start.cpu_seconds;
        usage.times_scheduled += member.last.times_scheduled - member.start.times_scheduled;
    }
    return by_name;
}

}  // namespace bench_support
