#pragma once

// Shared by the capture tests: a receiver for chunks, bounded waits and generated signals.

#include "core/audio_chunk.h"
#include "pipeline/pipeline_doubles.h"
#include "support/wait.h"

#include <cmath>
#include <functional>
#include <mutex>
#include <numbers>
#include <vector>

namespace quovant::testing {

// Collects what a capture delivers, from whatever thread delivers it.
class ChunkRecorder {
public:
    std::function<void(const AudioChunk&)> handler() {
        return [this](const AudioChunk& chunk) {
            std::lock_guard lock(m_lock);
            m_chunks.push_back(chunk);
        };
    }
    std::vector<AudioChunk> chunks() const {
        std::lock_guard lock(m_lock);
        return m_chunks;
    }
    std::vector<float> samples() const {
        std::vector<float> all;
        for (const AudioChunk& chunk : chunks()) {
            all.insert(all.end(), chunk.samples.begin(), chunk.samples.end());
        }
        return all;
    }
    std::size_t sampleCount() const { return samples().size(); }
    void clear() {
        std::lock_guard lock(m_lock);
        m_chunks.clear();
    }

private:
    mutable std::mutex m_lock;
    std::vector<AudioChunk> m_chunks;
};

// Waits until the log holds `line` (level and message, e.g. "[INFO] Microphone ready · …").
inline bool waitForLog(const LogTail& log, const QString& line, int capMs = 30000) {
    return waitUntil([&] { return log.contains(line); }, capMs);
}

inline int countLog(const LogTail& log, const QString& line) {
    return static_cast<int>(log.messages().count(line));
}

inline std::vector<float> sine(std::size_t count, double amplitude, double frequency,
                               double rate) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<float>(amplitude *
                                        std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
    }
    return samples;
}

} // namespace quovant::testing
