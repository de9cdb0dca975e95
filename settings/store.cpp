#include "settings/store.h"

#include "settings/data_file.h"
#include "settings/log.h"
#include "settings/paths.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace fs = std::filesystem;

namespace {

const QString kHistoryName = u"history.jsonl"_s;
const QString kAudioName = u"audio"_s;
const QString kVocabularyName = u"vocabulary.txt"_s;
// Far more terms than any recogniser takes as hints; a larger file is not a word list.
constexpr qint64 kMaximumVocabularyBytes = 1024 * 1024;
// Reads of the history go through a buffer of this size, never through one the size of the file.
constexpr qsizetype kReadChunkBytes = 256 * 1024;

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

fs::path fsPath(const QString& path) {
    return fs::path(nativePath(path).toStdString());
}

// Reads [offset, offset + size) of `fd`, less at the end of the file; nothing on an error.
std::optional<QByteArray> readRange(int fd, off_t offset, qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    qsizetype done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data.data() + done, static_cast<size_t>(size - done),
                                    offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    data.truncate(done);
    return data;
}

// The non-empty lines between line feeds.
QList<QByteArrayView> splitLines(QByteArrayView data) {
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    while (start < data.size()) {
        const void* found =
            std::memchr(data.data() + start, '\n', static_cast<size_t>(data.size() - start));
        const qsizetype end = found ? static_cast<const char*>(found) - data.data() : data.size();
        if (end > start) {
            lines.append(data.sliced(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

// The non-empty lines of the file, counted through a fixed buffer whatever its size.
std::optional<qsizetype> countLines(int fd) {
    QByteArray buffer(kReadChunkBytes, Qt::Uninitialized);
    qsizetype count = 0;
    bool inLine = false;
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer.data(), static_cast<size_t>(buffer.size()), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return count + (inLine ? 1 : 0);
        }
        offset += got;
        const char* p = buffer.constData();
        const char* const end = p + got;
        while (p < end) {
            const auto* feed = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (feed == nullptr) {
                inLine = true;
                break;
            }
            count += feed > p || inLine ? 1 : 0;
            inLine = false;
            p = feed + 1;
        }
    }
}

std::optional<QString> decodeUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

// What the worker last knew about the history file, so an append under the limits needs no
// read of the whole file. Valid only while the file is exactly as the worker left it.
struct HistoryShape {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    qsizetype lines = 0;

    bool matches(const struct stat& info) const {
        return known && info.st_dev == device && info.st_ino == inode && info.st_size == size &&
               info.st_mtim.tv_sec == modified.tv_sec && info.st_mtim.tv_nsec == modified.tv_nsec;
    }
    static HistoryShape of(const struct stat& info, qsizetype lines) {
        return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, lines};
    }
};

struct Recording {
    QByteArray name;
    timespec modified{};
    qint64 size = 0;
};

} // namespace

struct Store::Private {
    QString root;
    RetentionLimits limits;
    QString historyPath;
    QString audioPath;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread worker;

    // Touched only on the worker thread.
    HistoryShape shape;

    void run() {
        ::pthread_setname_np(::pthread_self(), "palvane.store");
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (jobs.empty()) {
                    return;
                }
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            try {
                job();
            } catch (...) {
                // Queued work has no one to report to; synchronous work carries its own
                // exceptions back through its future.
            }
        }
    }

    void enqueue(std::function<void()> job) {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_one();
    }

    template <typename Function> auto runAndWait(Function function) -> decltype(function()) {
        using Result = decltype(function());
        if (std::this_thread::get_id() == worker.get_id()) {
            return function();
        }
        std::packaged_task<Result()> task(std::move(function));
        std::future<Result> result = task.get_future();
        enqueue([&task] { task(); });
        return result.get();
    }

    // One line for each time a file stops being usable, not one per record or utterance.
    bool historyRefusalLogged = false;
    bool audioRefusalLogged = false;
    std::atomic<bool> vocabularyRefusalLogged = false;

    void reportHistoryRefused(int error) {
        if (std::exchange(historyRefusalLogged, true)) {
            return;
        }
        Log::warn(error == ELOOP || error == DataFile::kNotRegular || error == ENXIO ||
                          error == EISDIR
                      ? u"History was not stored: history.jsonl is a link or not a regular file, "
                        u"and it is left as it is."_s
                      : u"History was not stored: %1."_s.arg(QString::fromLocal8Bit(
                            std::strerror(error))));
    }

    void appendLine(const Utterance& utterance) {
        // A time that cannot be written as ISO 8601 would make a line no reader accepts.
        if (!Utterance::parseTimestamp(Utterance::formatTimestamp(utterance.timestamp))) {
            return;
        }
        QByteArray line = utterance.toJson();
        line.append('\n');
        if (line.size() > limits.maxHistoryBytes) {
            Log::warn(u"A history item exceeded the local retention ceiling and was not stored."_s);
            return;
        }
        const int fd = DataFile::openRegular(historyPath, O_RDWR | O_APPEND | O_CREAT);
        if (fd < 0) {
            shape = {};
            reportHistoryRefused(errno);
            return;
        }
        historyRefusalLogged = false;
        struct stat before {};
        const bool statted = ::fstat(fd, &before) == 0;
        const bool knownBefore = statted && shape.matches(before);
        // A record cut short by a crash has no line feed; starting on a fresh line keeps the new
        // record from being glued onto it and lost with it.
        if (statted && before.st_size > 0) {
            char last = '\n';
            if (::pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n') {
                line.prepend('\n');
            }
        }
        const bool written = DataFile::writeAll(fd, line);
        struct stat after {};
        const bool stattedAfter = ::fstat(fd, &after) == 0;
        ::fchmod(fd, 0600);
        ::close(fd);
        shape = written && knownBefore && stattedAfter ? HistoryShape::of(after, shape.lines + 1)
                                                       : HistoryShape{};
        pruneHistory(stattedAfter ? after.st_size : -1);
    }

    void pruneHistory(off_t size) {
        if (shape.known && size >= 0 && size <= limits.maxHistoryBytes &&
            shape.lines <= limits.maxHistoryEntries) {
            return;
        }
        const int fd = DataFile::openRegular(historyPath, O_RDONLY);
        if (fd < 0) {
            shape = {};
            return;
        }
        struct stat info {};
        // Whatever the file's size, only its end can be kept: the last whole lines within the
        // byte limit. One byte more shows whether the first of them starts a line.
        std::optional<QByteArray> data;
        if (::fstat(fd, &info) == 0) {
            const off_t window = std::min<off_t>(info.st_size, limits.maxHistoryBytes + 1);
            data = readRange(fd, info.st_size - window, qsizetype(window));
        }
        ::close(fd);
        if (!data) {
            shape = {};
            return;
        }
        QByteArrayView usable = *data;
        const bool whole = data->size() == info.st_size;
        if (!whole) {
            const qsizetype firstFeed = usable.indexOf('\n');
            usable = firstFeed < 0 ? QByteArrayView() : usable.sliced(firstFeed + 1);
        }
        const QList<QByteArrayView> lines = splitLines(usable);
        if (whole) {
            shape = HistoryShape::of(info, lines.size());
            if (data->size() <= limits.maxHistoryBytes &&
                lines.size() <= limits.maxHistoryEntries) {
                return;
            }
        }
        qsizetype first = lines.size();
        qint64 total = 0;
        for (qsizetype i = lines.size() - 1; i >= 0; --i) {
            if (lines.size() - first >= limits.maxHistoryEntries) {
                break;
            }
            total += lines[i].size() + 1;
            if (total > limits.maxHistoryBytes && first < lines.size()) {
                break;
            }
            first = i;
        }
        QByteArray kept;
        kept.reserve(static_cast<qsizetype>(std::min<qint64>(total, data->size())));
        for (qsizetype i = first; i < lines.size(); ++i) {
            kept.append(lines[i]);
            kept.append('\n');
        }
        if (!DataFile::writeAtomically(historyPath, kept)) {
            shape = {};
            return;
        }
        Paths::protectFile(historyPath);
        struct stat rewritten {};
        shape = ::lstat(nativePath(historyPath).constData(), &rewritten) == 0
                    ? HistoryShape::of(rewritten, lines.size() - first)
                    : HistoryShape{};
    }

    QStringList recentTranscripts(qsizetype limit) const {
        if (limit <= 0) {
            return {};
        }
        const int fd = DataFile::openRegular(historyPath, O_RDONLY);
        if (fd < 0) {
            return {};
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            ::close(fd);
            return {};
        }
        // Read backwards from the end until enough whole lines are in hand; a full history is
        // megabytes, the last few records rarely more than a few kilobytes. Nothing before the
        // last byte-limit's worth can be a retained record, so the reading stops there.
        const off_t farthest = std::min<off_t>(info.st_size, limits.maxHistoryBytes + 1);
        QList<QByteArrayView> lines;
        std::optional<QByteArray> tail;
        off_t want = 16 * 1024;
        for (;;) {
            want = std::min(want, farthest);
            const off_t offset = info.st_size - want;
            tail = readRange(fd, offset, qsizetype(want));
            if (!tail) {
                break;
            }
            QByteArrayView usable = *tail;
            if (offset > 0) {
                // The piece before the first line feed may be the end of a longer line.
                const qsizetype firstFeed = usable.indexOf('\n');
                usable = firstFeed < 0 ? QByteArrayView() : usable.sliced(firstFeed + 1);
            }
            lines = splitLines(usable);
            if (lines.size() >= limit || want == farthest || tail->size() < want) {
                break;
            }
            want *= 4;
        }
        ::close(fd);
        QStringList texts;
        for (qsizetype i = std::max<qsizetype>(0, lines.size() - limit); i < lines.size(); ++i) {
            if (const auto utterance = Utterance::parse(lines[i])) {
                texts.append(utterance->shippedText);
            }
        }
        return texts;
    }

    qsizetype totalCount() {
        const int fd = DataFile::openRegular(historyPath, O_RDONLY);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0) {
            if (fd >= 0) {
                ::close(fd);
            }
            shape = {};
            return 0;
        }
        if (shape.matches(info)) {
            ::close(fd);
            return shape.lines;
        }
        const std::optional<qsizetype> lines = countLines(fd);
        ::close(fd);
        shape = lines ? HistoryShape::of(info, *lines) : HistoryShape{};
        return lines.value_or(0);
    }

    // "audio" opened as a folder, never through a link (its files would be someone else's);
    // -1 when it is missing or refused, which is logged once.
    int openAudio() {
        const int fd = ::open(nativePath(audioPath).constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno == ENOENT) {
            audioRefusalLogged = false;
            return fd;
        }
        if (!std::exchange(audioRefusalLogged, true)) {
            Log::warn(u"Recordings were not pruned: audio is a link or not a folder, and "
                      u"nothing in it is deleted."_s);
        }
        return -1;
    }

    // The regular ".wav" files of the folder `dirFd` (links and other entries are left out).
    static std::vector<Recording> recordings(int dirFd) {
        std::vector<Recording> list;
        const int listing = ::dup(dirFd);
        DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
        if (dir == nullptr) {
            if (listing >= 0) {
                ::close(listing);
            }
            return list;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArrayView name(entry->d_name);
            if (name.size() < 5 || name.last(4).toByteArray().toLower() != ".wav") {
                continue;
            }
            struct stat info {};
            if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(info.st_mode)) {
                continue;
            }
            list.push_back({name.toByteArray(), info.st_mtim, info.st_size});
        }
        ::closedir(dir);
        return list;
    }

    qsizetype retainedAudioCount() {
        const int fd = openAudio();
        if (fd < 0) {
            return 0;
        }
        const auto count = static_cast<qsizetype>(recordings(fd).size());
        ::close(fd);
        return count;
    }

    void pruneAudio() {
        const int fd = openAudio();
        if (fd < 0) {
            return;
        }
        std::vector<Recording> list = recordings(fd);
        std::sort(list.begin(), list.end(), [](const Recording& a, const Recording& b) {
            if (a.modified.tv_sec != b.modified.tv_sec) {
                return a.modified.tv_sec < b.modified.tv_sec;
            }
            if (a.modified.tv_nsec != b.modified.tv_nsec) {
                return a.modified.tv_nsec < b.modified.tv_nsec;
            }
            return a.name < b.name;
        });
        qint64 total = 0;
        for (const Recording& recording : list) {
            total += recording.size;
        }
        std::size_t first = 0;
        while (first < list.size() &&
               (static_cast<qint64>(list.size() - first) > limits.maxAudioFiles ||
                total > limits.maxAudioBytes)) {
            ::unlinkat(fd, list[first].name.constData(), 0);
            total -= list[first].size;
            ++first;
        }
        ::close(fd);
    }

    void deleteRetainedData() {
        shape = {};
        const fs::path history = fsPath(historyPath);
        const fs::path audio = fsPath(audioPath);
        // A link in either place is removed itself; what it points at is left alone.
        if (fs::symlink_status(history).type() != fs::file_type::not_found) {
            fs::remove(history);
        }
        if (fs::symlink_status(audio).type() != fs::file_type::not_found) {
            fs::remove_all(audio);
        }
        if (!DataFile::writeAtomically(historyPath, {})) {
            throw fs::filesystem_error("Could not write an empty history", history,
                                       std::error_code(errno, std::system_category()));
        }
        Paths::protectFile(historyPath);
        if (!Paths::makePrivateDirectory(audioPath)) {
            throw fs::filesystem_error("Could not create the audio folder", audio,
                                       std::error_code(errno, std::system_category()));
        }
        Paths::protectDirectory(audioPath);
    }
};

Store::Store(const QString& root, RetentionLimits limits) : d(std::make_unique<Private>()) {
    d->root = QDir::cleanPath(root);
    d->limits = {
        std::max<qint64>(1, limits.maxHistoryEntries), std::max<qint64>(1, limits.maxHistoryBytes),
        std::max<qint64>(1, limits.maxAudioFiles), std::max<qint64>(1, limits.maxAudioBytes)};
    d->historyPath = d->root + u'/' + kHistoryName;
    d->audioPath = d->root + u'/' + kAudioName;
    Paths::makePrivateDirectory(d->root);
    Paths::protectDirectory(d->root);
    d->worker = std::thread([this] { d->run(); });
    d->enqueue([this] { DataFile::removeStaleTemporaries(d->root); });
}

Store::~Store() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_one();
    d->worker.join();
}

const QString& Store::root() const {
    return d->root;
}

const RetentionLimits& Store::limits() const {
    return d->limits;
}

void Store::append(Utterance utterance) {
    d->enqueue([this, utterance = std::move(utterance)] { d->appendLine(utterance); });
}

QString Store::audioURL(const QString& utteranceID) const {
    Paths::makePrivateDirectory(d->audioPath);
    Paths::protectDirectory(d->audioPath);
    // The identifier becomes a file name; a separator in it must not lead out of "audio".
    QString name = utteranceID;
    name.replace(u'/', u'_').replace(QChar(u'\0'), u'_');
    return d->audioPath + u'/' + name + u".wav"_s;
}

void Store::didWriteAudio(const QString& filePath) {
    if (!QFile::exists(filePath)) {
        return;
    }
    Paths::protectFile(filePath);
    d->enqueue([this] { d->pruneAudio(); });
}

QStringList Store::recentTranscripts(qsizetype limit) {
    return d->runAndWait([this, limit] { return d->recentTranscripts(limit); });
}

qsizetype Store::totalCount() {
    return d->runAndWait([this] { return d->totalCount(); });
}

qsizetype Store::retainedAudioCount() {
    return d->runAndWait([this] { return d->retainedAudioCount(); });
}

void Store::deleteRetainedData() {
    d->runAndWait([this] { d->deleteRetainedData(); });
}

QString Store::defaultVocabularyText() {
    return u"# Quovant custom vocabulary — one term per line.\n"
           "# These are passed to the recogniser as contextual hints, which is how\n"
           "# names, product names and jargon stop being transcribed as something else.\n"
           "# Lines starting with # are ignored. Edit freely; changes apply next utterance.\n"
           "\n"
           "Quovant\n"
           "Wispr Flow\n"
           "SpeechAnalyzer\n"
           "Anthropic\n"
           "Claude Code"_s;
}

void Store::ensureVocabularyFile() const {
    const QString path = d->root + u'/' + kVocabularyName;
    struct stat info {};
    if (::lstat(nativePath(path).constData(), &info) == 0) {
        return;
    }
    // Placed only if still absent, so a file the user creates meanwhile is kept.
    if (DataFile::writeAtomically(path, defaultVocabularyText().toUtf8(), false)) {
        Paths::protectFile(path);
    }
}

QStringList Store::vocabulary() const {
    const DataFile::Read read =
        DataFile::readRegular(d->root + u'/' + kVocabularyName, kMaximumVocabularyBytes);
    if (read.status == DataFile::Read::Status::Unreadable) {
        if (!d->vocabularyRefusalLogged.exchange(true)) {
            Log::warn(u"Custom vocabulary was ignored: vocabulary.txt is not a readable regular "
                      u"file of at most 1 MiB."_s);
        }
        return {};
    }
    d->vocabularyRefusalLogged = false;
    QByteArrayView content = read.bytes;
    if (content.startsWith("\xEF\xBB\xBF")) {
        content = content.sliced(3);
    }
    QStringList terms;
    for (QByteArrayView line : splitLines(content)) {
        // A line that is not UTF-8 is skipped on its own rather than costing every other term.
        const auto text = decodeUtf8(line);
        if (!text) {
            continue;
        }
        qsizetype start = 0;
        qsizetype end = text->size();
        // Carriage returns too: a file saved with CRLF endings must not leave them on each term.
        const auto isBlank = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r'; };
        while (start < end && isBlank(text->at(start))) {
            ++start;
        }
        while (end > start && isBlank(text->at(end - 1))) {
            --end;
        }
        if (start < end && text->at(start) != u'#') {
            terms.append(text->sliced(start, end - start));
        }
    }
    return terms;
}

} // namespace quovant
