#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace quovant {

// One worker thread that runs at most one pending task after a delay, like a serial queue with a
// single cancellable work item: scheduling replaces the pending task, `cancel` drops it (a task
// already running finishes). Thread-safe. The destructor drops the pending task and joins the
// thread (it detaches when the last owner goes on the worker thread itself).
class HealthQueue {
public:
    explicit HealthQueue(const char* threadName);
    ~HealthQueue();
    HealthQueue(const HealthQueue&) = delete;
    HealthQueue& operator=(const HealthQueue&) = delete;

    void schedule(std::chrono::milliseconds delay, std::function<void()> task);
    void cancel();

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace quovant
