#include "platform/linux/audio/health_queue.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include <pthread.h>

namespace quovant {

struct HealthQueue::State {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::function<void()> task;
    bool stopping = false;
};

HealthQueue::HealthQueue(const char* threadName) : m_state(std::make_shared<State>()) {
    // The thread holds the state itself, so a detached thread never touches a freed queue.
    m_thread = std::thread([state = m_state] {
        std::unique_lock lock(state->lock);
        while (!state->stopping) {
            if (!state->deadline) {
                state->changed.wait(lock);
                continue;
            }
            if (std::chrono::steady_clock::now() < *state->deadline) {
                state->changed.wait_until(lock, *state->deadline);
                continue;
            }
            state->deadline.reset();
            auto task = std::move(state->task);
            state->task = nullptr;
            lock.unlock();
            task();
            task = nullptr; // the task's captures go before the lock is taken again
            lock.lock();
        }
    });
    pthread_setname_np(m_thread.native_handle(), threadName);
}

HealthQueue::~HealthQueue() {
    {
        std::lock_guard lock(m_state->lock);
        m_state->stopping = true;
        m_state->deadline.reset();
        m_state->task = nullptr;
    }
    m_state->changed.notify_all();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}

void HealthQueue::schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    std::function<void()> replaced;
    {
        std::lock_guard lock(m_state->lock);
        if (m_state->stopping) {
            return;
        }
        m_state->deadline = std::chrono::steady_clock::now() + delay;
        replaced = std::exchange(m_state->task, std::move(task));
    }
    m_state->changed.notify_all();
}

void HealthQueue::cancel() {
    std::function<void()> dropped;
    {
        std::lock_guard lock(m_state->lock);
        m_state->deadline.reset();
        dropped = std::exchange(m_state->task, nullptr);
    }
    m_state->changed.notify_all();
}

} // namespace quovant
