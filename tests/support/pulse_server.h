#pragma once

// A private PulseAudio sound server for desktop tests and benchmarks, and a writer that feeds
// exact samples into one of its pipe sources.
//
//     PulseServer server;                       // daemon running, PULSE_SERVER set
//     ASSERT_TRUE(server.running()) << server.failure().toStdString();
//     auto mic = server.loadPipeSource(u"mic"_s, 16000);
//     server.setDefaultSource(mic->source);
//     PipeSourceWriter writer(mic->fifo);
//     writer.play(samples, 16000);              // in real time, from a thread of its own
//     writer.play(tone, 16000, true);           // … over and over, until closed
//     writer.write(samples);                    // or all at once
//
// Nothing of the machine's own sound set-up is touched: the daemon gets its own runtime folder,
// home, configuration and state folders (all in one temporary folder), loads no default script,
// never reaches a session bus, and dies with the test process.

#include "support/desktop_peers.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace quovant::testing {

class PulseServer {
public:
    // A module-pipe-source: float32le mono at `rate`, fed through the FIFO at `fifo`.
    struct PipeSource {
        int module = -1;
        QString source;
        QString fifo;
        int rate = 0;
    };

    // Starts the daemon and waits (generously) until it answers. While the object lives,
    // PULSE_SERVER, PULSE_RUNTIME_PATH, PULSE_CLIENTCONFIG (no autospawn) and PULSE_COOKIE (a cookie of
    // the client's own; the daemon's unix socket admits anyone) name it
    // in this process's environment; the previous values come back at destruction.
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool running() const { return !m_address.isEmpty(); }
    // Why the daemon did not start (its error output), empty when it runs.
    QString failure() const { return m_failure; }
    // "unix:<socket>", the value of PULSE_SERVER.
    QString address() const { return m_address; }
    QString runtimeDirectory() const;

    // Runs `pactl` against this server; its standard output (trimmed), or absent when it failed.
    std::optional<QString> pactl(const QStringList& arguments) const;
    // Loads a module; its index, or absent.
    std::optional<int> loadModule(const QString& name, const QStringList& arguments) const;
    bool unloadModule(int module) const;

    // The source named `name` reads float32le mono samples at `rate` from a new FIFO.
    // Without a writer (or with an idle one) it delivers no audio at all.
    std::optional<PipeSource> loadPipeSource(const QString& name, int rate) const;
    // A null sink; its monitor source "<name>.monitor" delivers digital silence, but in irregular
    // large blocks. For zeros in real time, `play` them with `repeat` into a pipe source.
    std::optional<int> loadNullSink(const QString& name) const;
    // A sine tone on the source `name`. The module ignores the latency clients ask for and
    // delivers about two seconds at a time; for a steady real-time signal, `play` a tone with
    // `repeat` into a pipe source instead.
    std::optional<int> loadSineSource(const QString& name, int rate, int frequency) const;

    // A listener on a free loopback TCP port that refuses every client of this process (it wants
    // the daemon's cookie, which clients here never have); its address for PULSE_SERVER.
    std::optional<QString> loadRefusingListener() const;

    bool setDefaultSource(const QString& source) const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PeerProcess> m_daemon;
    QString m_address;
    QString m_failure;
    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_previousEnvironment;
};

// Writes float samples into a pipe source's FIFO. The FIFO is opened at construction (the
// source must exist); while it is open without data the source delivers nothing ("no buffers").
// Thread-safe: `play` runs on a thread of its own; the destructor stops it and closes the FIFO.
class PipeSourceWriter {
public:
    explicit PipeSourceWriter(const QString& fifo);
    ~PipeSourceWriter();
    PipeSourceWriter(const PipeSourceWriter&) = delete;
    PipeSourceWriter& operator=(const PipeSourceWriter&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Writes every sample now (faster than real time); false when the FIFO went away. Waits for
    // a running `play` to finish first.
    bool write(std::span<const float> samples);
    // Writes the samples in 10 ms pieces paced by the clock, as a microphone would deliver them,
    // from a background thread; returns at once. With `repeat` the samples start over until
    // `close` (or another `play` or `write`, which otherwise wait for the first to end).
    void play(std::vector<float> samples, int rate, bool repeat = false);
    // The size of the pieces `play` writes (default 10 ms); a source delivers each at once, so
    // this is how often a recording client wakes up. Set it before `play`.
    void setPieceDuration(int milliseconds) { m_pieceMs = std::max(1, milliseconds); }
    // Waits until everything given to `play` has been written; false on timeout.
    bool waitUntilPlayed(int timeoutMs);
    // Samples written so far (by `write` and `play`).
    std::int64_t samplesWritten() const { return m_written; }
    // Stops a running `play` and closes the FIFO (the source then has no writer).
    void close();

private:
    void stopPlaying();
    bool writeBytes(const char* data, std::size_t size);

    int m_fd = -1;
    std::thread m_player;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_repeating{false};
    int m_pieceMs = 10;
    std::atomic<std::int64_t> m_written{0};
    std::mutex m_lock;
    std::condition_variable m_played;
    bool m_playing = false;
};

} // namespace quovant::testing
