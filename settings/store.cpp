#include "settings/store.h"

#include "settings/log.h"
#include "settings/paths.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

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
// Temporary files of an atomic rewrite carry this between the target name and the random part,
// so leftovers of a killed process can be recognised.
constexpr char kTemporaryMarker[] = ".tmp-";

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

fs::path fsPath(const QString& path) {
    return fs::path(nativePath(path).toStdString());
}

bool writeAll(int fd, QByteArrayView bytes) {
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

std::optional<QByteArray> readAll(int fd, struct stat* info) {
    if (::fstat(fd, info) != 0) {
        return std::nullopt;
    }
    QByteArray data;
    data.resize(static_cast<qsizetype>(info->st_size));
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t got = ::pread(fd, data.data() + done, static_cast<size_t>(data.size() - done),
                                    static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += got;
    }
    data.truncate(done);
    return data;
}

std::optional<QByteArray> readFile(const QString& path, struct stat* info) {
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    auto data = readAll(fd, info);
    ::close(fd);
    return data;
}

// Creates the missing directories of `path` with mode 0700, so no folder is ever more open than
// that, whatever the umask. True when the directory exists afterwards.
bool makeDirectories(const QString& path) {
    const QByteArray native = nativePath(QDir::cleanPath(path));
    for (qsizetype slash = native.indexOf('/', 1); slash != -1;
         slash = native.indexOf('/', slash + 1)) {
        ::mkdir(native.left(slash).constData(), 0700);
    }
    ::mkdir(native.constData(), 0700);
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode);
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

qsizetype countLines(QByteArrayView data) {
    qsizetype count = 0;
    qsizetype start = 0;
    while (start < data.size()) {
        const void* found =
            std::memchr(data.data() + start, '\n', static_cast<size_t>(data.size() - start));
        const qsizetype end = found ? static_cast<const char*>(found) - data.data() : data.size();
        count += end > start ? 1 : 0;
        start = end + 1;
    }
    return count;
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
    fs::path path;
    std::string name;
    fs::file_time_type modified;
    std::uintmax_t size = 0;
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
        const int fd = ::open(nativePath(historyPath).constData(),
                              O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            shape = {};
            return;
        }
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
        const bool written = writeAll(fd, line);
        struct stat after {};
        const bool stattedAfter = ::fstat(fd, &after) == 0;
        ::close(fd);
        Paths::protectFile(historyPath);
        shape = written && knownBefore && stattedAfter ? HistoryShape::of(after, shape.lines + 1)
                                                       : HistoryShape{};
        pruneHistory(stattedAfter ? after.st_size : -1);
    }

    void pruneHistory(off_t size) {
        if (shape.known && size >= 0 && size <= limits.maxHistoryBytes &&
            shape.lines <= limits.maxHistoryEntries) {
            return;
        }
        struct stat info {};
        const auto data = readFile(historyPath, &info);
        if (!data) {
            shape = {};
            return;
        }
        const QList<QByteArrayView> lines = splitLines(*data);
        shape = HistoryShape::of(info, lines.size());
        if (data->size() <= limits.maxHistoryBytes && lines.size() <= limits.maxHistoryEntries) {
            return;
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
        if (!writeAtomically(historyPath, kept)) {
            shape = {};
            return;
        }
        Paths::protectFile(historyPath);
        struct stat rewritten {};
        shape = ::stat(nativePath(historyPath).constData(), &rewritten) == 0
                    ? HistoryShape::of(rewritten, lines.size() - first)
                    : HistoryShape{};
    }

    QStringList recentTranscripts(qsizetype limit) const {
        if (limit <= 0) {
            return {};
        }
        const int fd = ::open(nativePath(historyPath).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return {};
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            ::close(fd);
            return {};
        }
        // Read backwards from the end until enough whole lines are in hand; a full history is
        // megabytes, the last few records rarely more than a few kilobytes.
        QList<QByteArrayView> lines;
        QByteArray tail;
        off_t want = 16 * 1024;
        for (;;) {
            const off_t offset = std::max<off_t>(0, info.st_size - want);
            tail.resize(static_cast<qsizetype>(info.st_size - offset));
            qsizetype done = 0;
            while (done < tail.size()) {
                const ssize_t got =
                    ::pread(fd, tail.data() + done, static_cast<size_t>(tail.size() - done),
                            offset + static_cast<off_t>(done));
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    break;
                }
                done += got;
            }
            const bool shortRead = done < tail.size();
            tail.truncate(done);
            QByteArrayView usable = tail;
            if (offset > 0) {
                // The piece before the first line feed may be the end of a longer line.
                const qsizetype firstFeed = usable.indexOf('\n');
                usable = firstFeed < 0 ? QByteArrayView() : usable.sliced(firstFeed + 1);
            }
            lines = splitLines(usable);
            if (lines.size() >= limit || offset == 0 || shortRead) {
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
        struct stat info {};
        if (::stat(nativePath(historyPath).constData(), &info) == 0 && shape.matches(info)) {
            return shape.lines;
        }
        const auto data = readFile(historyPath, &info);
        if (!data) {
            shape = {};
            return 0;
        }
        const qsizetype lines = countLines(*data);
        shape = HistoryShape::of(info, lines);
        return lines;
    }

    std::vector<Recording> recordings() const {
        std::vector<Recording> list;
        std::error_code error;
        fs::directory_iterator it(fsPath(audioPath), error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            std::error_code entryError;
            if (!fs::is_regular_file(it->symlink_status(entryError))) {
                continue;
            }
            std::string extension = it->path().extension().string();
            std::transform(extension.begin(), extension.end(), extension.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (extension != ".wav") {
                continue;
            }
            Recording recording{it->path(), it->path().filename().string(), {}, 0};
            recording.modified = it->last_write_time(entryError);
            if (entryError) {
                recording.modified = fs::file_time_type::min();
            }
            recording.size = it->file_size(entryError);
            if (entryError) {
                recording.size = 0;
            }
            list.push_back(std::move(recording));
        }
        return list;
    }

    void pruneAudio() {
        std::vector<Recording> list = recordings();
        std::sort(list.begin(), list.end(), [](const Recording& a, const Recording& b) {
            return a.modified != b.modified ? a.modified < b.modified : a.name < b.name;
        });
        std::uintmax_t total = 0;
        for (const Recording& recording : list) {
            total += recording.size;
        }
        std::size_t first = 0;
        while (first < list.size() &&
               (static_cast<qint64>(list.size() - first) > limits.maxAudioFiles ||
                total > static_cast<std::uintmax_t>(limits.maxAudioBytes))) {
            std::error_code ignored;
            fs::remove(list[first].path, ignored);
            total -= list[first].size;
            ++first;
        }
    }

    void deleteRetainedData() {
        shape = {};
        const fs::path history = fsPath(historyPath);
        const fs::path audio = fsPath(audioPath);
        if (fs::exists(history)) {
            fs::remove(history);
        }
        if (fs::exists(audio)) {
            fs::remove_all(audio);
        }
        if (!writeAtomically(historyPath, {})) {
            throw fs::filesystem_error("Could not write an empty history", history,
                                       std::error_code(errno, std::system_category()));
        }
        Paths::protectFile(historyPath);
        if (!makeDirectories(audioPath)) {
            throw fs::filesystem_error("Could not create the audio folder", audio,
                                       std::error_code(errno, std::system_category()));
        }
        Paths::protectDirectory(audioPath);
    }

    // Temporary files of a rewrite that a killed process left behind.
    void removeStaleTemporaries() const {
        const QByteArray prefix = nativePath(kHistoryName) + kTemporaryMarker;
        std::error_code error;
        fs::directory_iterator it(fsPath(root), error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.size() == static_cast<std::size_t>(prefix.size()) + 6 &&
                name.compare(0, static_cast<std::size_t>(prefix.size()), prefix.constData()) == 0) {
                std::error_code ignored;
                fs::remove(it->path(), ignored);
            }
        }
    }
};

Store::Store(const QString& root, RetentionLimits limits) : d(std::make_unique<Private>()) {
    d->root = QDir::cleanPath(root);
    d->limits = {
        std::max<qint64>(1, limits.maxHistoryEntries), std::max<qint64>(1, limits.maxHistoryBytes),
        std::max<qint64>(1, limits.maxAudioFiles), std::max<qint64>(1, limits.maxAudioBytes)};
    d->historyPath = d->root + u'/' + kHistoryName;
    d->audioPath = d->root + u'/' + kAudioName;
    makeDirectories(d->root);
    Paths::protectDirectory(d->root);
    d->worker = std::thread([this] { d->run(); });
    d->enqueue([this] { d->removeStaleTemporaries(); });
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
    makeDirectories(d->audioPath);
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
    return d->runAndWait([this] { return static_cast<qsizetype>(d->recordings().size()); });
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
    if (QFile::exists(path)) {
        return;
    }
    // Linked into place only if still absent, so a file the user creates meanwhile is kept.
    if (writeAtomically(path, defaultVocabularyText().toUtf8(), false)) {
        Paths::protectFile(path);
    }
}

QStringList Store::vocabulary() const {
    struct stat info {};
    const auto data = readFile(d->root + u'/' + kVocabularyName, &info);
    if (!data) {
        return {};
    }
    QByteArrayView content = *data;
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

bool Store::writeAtomically(const QString& path, QByteArrayView bytes, bool replaceExisting) {
    const QByteArray target = nativePath(path);
    QByteArray temporary = target + kTemporaryMarker + "XXXXXX";
    // mkostemp creates the file 0600, so the contents are never readable by others.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        if (replaceExisting) {
            ok = ::rename(temporary.constData(), target.constData()) == 0;
        } else {
            ok = ::link(temporary.constData(), target.constData()) == 0;
            const int savedErrno = errno;
            ::unlink(temporary.constData());
            errno = savedErrno;
            return ok;
        }
    }
    if (!ok) {
        const int savedErrno = errno;
        ::unlink(temporary.constData());
        errno = savedErrno;
    }
    return ok;
}

} // namespace quovant
