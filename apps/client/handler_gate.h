#pragma once

// Keeps a client's state change handler from running once the client is
// gone. The handler runs on an engine's notifier thread and may call back
// into its client; such a call holds the engine, so the client's end, which
// only drops its own reference, would not wait for the handler to return,
// and the notifications still pending would reach a handler whose client
// no longer exists. Every call goes through the gate; closing it waits for
// the call under way on another thread and lets no new one start.
//
// Threads: any. The handler itself runs outside the gate's lock.

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace apps {

class HandlerGate {
public:
    // Runs call() unless the gate is closed.
    template <class Call>
    void run(Call&& call) {
        if (!enter()) {
            return;
        }
        Passage passage(*this);
        call();
    }

    // Closes the gate and waits until no call is under way, other than one
    // this thread is inside (a handler that ends its own client).
    void close();

private:
    // Leaves the gate however the call ends.
    class Passage {
    public:
        explicit Passage(HandlerGate& gate);
        ~Passage();
        Passage(const Passage&) = delete;
        Passage& operator=(const Passage&) = delete;

    private:
        HandlerGate& m_gate;
        const HandlerGate* m_previous;  // the gate this thread was inside before
    };

    bool enter();
    void leave();

    std::mutex m_mutex;
    std::condition_variable m_left;
    bool m_open = true;         // guarded by m_mutex
    std::size_t m_running = 0;  // calls under way; guarded by m_mutex
};

}  // namespace apps
