#pragma once

// Pieces of the pipeline shared by its life-cycle file and its three flows; not a public API.

#include "pipeline/pipeline.h"

#include <QString>

#include <coroutine>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

namespace quovant {

// The recogniser the capture thread hands its chunks to. Swapped under the lock on reload.
struct Pipeline::AsrSlot {
    std::mutex lock;
    std::shared_ptr<AsrEngine> engine;

    void set(std::shared_ptr<AsrEngine> next) {
        std::lock_guard guard(lock);
        engine = std::move(next);
    }
    std::shared_ptr<AsrEngine> get() {
        std::lock_guard guard(lock);
        return engine;
    }
};

// A repository refresh started at key-down, awaited (at most once per flow) only where it helps.
struct Pipeline::RepositoryRefresh {
    bool done = false;
    std::optional<RepositoryContext> value;
    std::vector<std::coroutine_handle<>> waiters;

    void resolve(std::optional<RepositoryContext> result) {
        if (done) {
            return;
        }
        done = true;
        value = std::move(result);
        for (auto waiter : std::exchange(waiters, {})) {
            waiter.resume();
        }
    }

    struct Awaiter {
        std::shared_ptr<RepositoryRefresh> refresh;
        bool await_ready() const noexcept { return refresh->done; }
        void await_suspend(std::coroutine_handle<> caller) { refresh->waiters.push_back(caller); }
        std::optional<RepositoryContext> await_resume() { return refresh->value; }
    };
};

// The user-facing text of a failure: a QuovantError's description, else what the exception says.
QString describeFailure(const std::exception_ptr& failure);

} // namespace quovant
