#include "platform/linux/audio/process_audio_capture.h"

#include "core/quovant_error.h"
#include "platform/linux/audio/audio_metering.h"
#include "settings/paths.h"
#include "speech/wav_encoder.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
constexpr auto kExitGrace = std::chrono::milliseconds(2000);

// What /usr/bin/env would run: a name with a slash as it is, any other name from the search path.
bool programExists(const QString& program) {
    if (program.isEmpty()) {
        return false;
    }
    const auto executable = [](const QString& path) {
        const QFileInfo info(path);
        return info.isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
    };
    if (program.contains(u'/')) {
        return executable(program);
    }
    const QByteArray searchPath = qEnvironmentVariableIsSet("PATH")
                                      ? qgetenv("PATH")
                                      : QByteArray("/usr/local/bin:/usr/bin:/bin");
    for (const QByteArray& folder : searchPath.split(':')) {
        const QString directory = folder.isEmpty() ? u"."_s : QFile::decodeName(folder);
        if (executable(directory + u'/' + program)) {
            return true;
        }
    }
    return false;
}

void closeQuietly(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

ProcessAudioCapture::ProcessAudioCapture(QStringList commandTemplate)
    : m_commandTemplate(std::move(commandTemplate)) {}

ProcessAudioCapture::~ProcessAudioCapture() { stop(); }

QStringList ProcessAudioCapture::substitute(const QStringList& commandTemplate,
                                            double sampleRate) {
    const QString rate = QString::number(static_cast<qint64>(std::trunc(sampleRate)));
    QStringList arguments;
    for (QString element : commandTemplate) {
        arguments.append(element.replace(u"{RATE}"_s, rate));
    }
    return arguments;
}

void ProcessAudioCapture::start(double sampleRate, bool retainAudio) {
    stop();
    {
        std::lock_guard lock(m_lock);
        m_sampleRate = sampleRate;
        m_retainAudio = retainAudio;
        m_retained.clear();
    }
    m_chunkHandler = onChunk;
    m_carry.reset();
    const QStringList arguments = substitute(m_commandTemplate, sampleRate);
    if (arguments.isEmpty()) {
        throw QuovantError(QuovantError::Kind::noAudioInput);
    }
    const auto cannotStart = [&] {
        return QuovantError::speechModelUnavailable(u"could not start recorder '"_s +
                                                    arguments.front() +
                                                    u"'. Install it, or set captureCommand in "
                                                    u"config.json."_s);
    };
    // env reports a missing program only after it has started, as an exit status nobody reads;
    // looking first turns that into the error the user can act on.
    if (!programExists(arguments.front())) {
        throw cannotStart();
    }

    int output[2];
    int wake[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        throw cannotStart();
    }
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        ::close(output[0]);
        ::close(output[1]);
        throw cannotStart();
    }
    std::vector<QByteArray> storage;
    storage.push_back(QByteArray("/usr/bin/env"));
    for (const QString& argument : arguments) {
        storage.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so a recorder started through a shell is stopped with its children.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    pid_t process = -1;
    const int spawned =
        ::posix_spawn(&process, "/usr/bin/env", &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        ::close(wake[0]);
        ::close(wake[1]);
        throw cannotStart();
    }
    m_process = process;
    m_output = output[0];
    m_wakeRead = wake[0];
    m_wakeWrite = wake[1];
    m_reader = std::thread([this] { readLoop(m_output, m_wakeRead); });
}

void ProcessAudioCapture::readLoop(int outputFd, int wakeFd) {
    std::vector<char> buffer(kReadSize);
    while (true) {
        pollfd ready[2] = {{outputFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (ready[1].revents != 0) {
            return;
        }
        if (ready[0].revents == 0) {
            continue;
        }
        const ssize_t count = ::read(outputFd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return; // the recorder closed its output: the stream simply ends
        }
        convert(buffer.data(), static_cast<std::size_t>(count));
    }
}

void ProcessAudioCapture::convert(const char* data, std::size_t size) {
    const auto sample = [](unsigned char low, unsigned char high) {
        return static_cast<float>(static_cast<std::int16_t>(std::uint16_t(low) |
                                                            (std::uint16_t(high) << 8))) /
               32768.0f;
    };
    std::vector<float> samples;
    samples.reserve(size / 2 + 1);
    std::size_t at = 0;
    if (m_carry && size > 0) {
        samples.push_back(sample(*m_carry, static_cast<unsigned char>(data[0])));
        m_carry.reset();
        at = 1;
    }
    for (; at + 1 < size; at += 2) {
        samples.push_back(
            sample(static_cast<unsigned char>(data[at]), static_cast<unsigned char>(data[at + 1])));
    }
    if (at < size) {
        m_carry = static_cast<unsigned char>(data[at]);
    }
    if (samples.empty()) {
        return;
    }
    m_level = AudioMetering::level(samples);
    double rate = 0;
    {
        std::lock_guard lock(m_lock);
        rate = m_sampleRate;
        if (m_retainAudio) {
            m_retained.insert(m_retained.end(), samples.begin(), samples.end());
        }
    }
    if (m_chunkHandler) {
        m_chunkHandler(AudioChunk{std::move(samples), rate});
    }
}

void ProcessAudioCapture::stop() {
    if (m_reader.joinable()) {
        const char wake = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite, &wake, 1);
        m_reader.join();
    }
    // Closed only after the reader has gone, so the wake-up never writes into a closed pipe.
    closeQuietly(m_output);
    closeQuietly(m_wakeRead);
    closeQuietly(m_wakeWrite);
    if (m_process > 0) {
        ::kill(-m_process, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
        bool reaped = false;
        while (!reaped && std::chrono::steady_clock::now() < deadline) {
            const pid_t done = ::waitpid(m_process, nullptr, WNOHANG);
            reaped = done == m_process || (done < 0 && errno != EINTR);
            if (!reaped) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (!reaped) {
            ::kill(-m_process, SIGKILL);
            while (::waitpid(m_process, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        m_process = -1;
    }
    m_chunkHandler = nullptr;
    m_level = 0;
}

void ProcessAudioCapture::writeRetainedAudio(const QString& filePath) {
    std::vector<float> samples;
    bool retain = false;
    double rate = 0;
    {
        std::lock_guard lock(m_lock);
        samples.swap(m_retained);
        retain = m_retainAudio;
        rate = m_sampleRate;
    }
    if (!retain || samples.empty()) {
        return;
    }
    try {
        const QByteArray wav = WavEncoder::encode(samples, rate);
        QFile file(filePath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate,
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            file.write(wav);
        }
    } catch (const std::exception&) {
        // A copy that cannot be written is ignored.
    }
    Paths::protectFile(filePath);
}

} // namespace quovant
