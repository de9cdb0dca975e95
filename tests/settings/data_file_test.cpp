#include "settings/data_file.h"
#include "settings/paths.h"
#include "settings/store.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::readFile;
using testing::writeFile;

bool exists(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

void setAge(const QString& path, time_t seconds) {
    const time_t when = ::time(nullptr) - seconds;
    const struct timeval times[2] = {{when, 0}, {when, 0}};
    ::lutimes(QFile::encodeName(path).constData(), times);
}

TEST(DataFile, OnlyAbandonedTemporariesOfSavesAreRemovedAtStart) {
    QTemporaryDir home;
    const struct {
        const char* name;
        time_t age;
        bool locked;
        bool link;
        bool removed;
    } cases[] = {
        {".config.json.AbC12z", 3600, false, false, true},
        {"config.json.tmp-AbC12z", 3600, false, false, true},
        {"history.jsonl.tmp-q1w2e3", 120, false, false, true},
        {"vocabulary.txt.tmp-XyZ987", 3600, false, false, true},
        {"learned.json.tmp-000000", 3600, false, false, true},
        // A save in progress elsewhere holds its file, or has only just created it.
        {"learned.json.tmp-runnin", 3600, true, false, false},
        {"history.jsonl.tmp-fresh1", 0, false, false, false},
        // Not a temporary of ours: other names, other lengths, links.
        {"notes.txt.tmp-abcdef", 3600, false, false, false},
        {"vocabulary.txt.tmp-abc", 3600, false, false, false},
        {"config.json.tmp-abcdefg", 3600, false, false, false},
        {"config.json", 3600, false, false, false},
        {"history.jsonl.tmp-link00", 3600, false, true, false},
    };
    const QString outside = home.filePath(u"outside"_s);
    QDir().mkpath(outside);
    writeFile(outside + u"/target"_s, "kept");
    const QString root = home.filePath(u"root"_s);
    QDir().mkpath(root);
    std::vector<int> locks;
    for (const auto& c : cases) {
        const QString path = root + u'/' + QString::fromUtf8(c.name);
        if (c.link) {
            QFile::link(outside + u"/target"_s, path);
        } else {
            writeFile(path, "partial save");
        }
        if (c.locked) {
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(::flock(fd, LOCK_EX), 0);
            locks.push_back(fd);
        }
        setAge(path, c.age);
    }
    Paths::prepareRoot(root);
    for (const auto& c : cases) {
        EXPECT_EQ(exists(root + u'/' + QString::fromUtf8(c.name)), !c.removed) << c.name;
    }
    EXPECT_EQ(readFile(outside + u"/target"_s), "kept");
    for (int fd : locks) {
        ::close(fd);
    }
}

// Runs `body` in a process whose `link`, `linkat` and, with `noRenameFlags`, `renameat2` calls
// fail as they do on file systems without hard links (vfat, exFAT, SMB) or on old kernels.
void withoutHardLinks(bool noRenameFlags, const std::function<bool()>& body) {
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    const auto refuse = [&](long call, int error) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, std::uint32_t(call), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | std::uint32_t(error)));
    };
#ifdef SYS_link
    refuse(SYS_link, EPERM);
#endif
    refuse(SYS_linkat, EPERM);
    if (noRenameFlags) {
        refuse(SYS_renameat2, EINVAL);
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::_Exit(2);
    }
    std::_Exit(body() ? 0 : 1);
}

TEST(DataFile, TheDefaultVocabularyIsCreatedWhereHardLinksAreRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool noRenameFlags : {false, true}) {
        EXPECT_EXIT(withoutHardLinks(noRenameFlags,
                                     [] {
                                         QTemporaryDir home;
                                         Store store(home.path());
                                         store.ensureVocabularyFile();
                                         const QString mine = home.filePath(u"mine.txt"_s);
                                         writeFile(mine, "Mine\n");
                                         return store.vocabulary().size() == 5 &&
                                                !DataFile::writeAtomically(mine, "x", false) &&
                                                readFile(mine) == "Mine\n" &&
                                                QDir(home.path())
                                                        .entryList(QDir::AllEntries | QDir::Hidden |
                                                                   QDir::NoDotAndDotDot)
                                                        .size() == 2;
                                     }),
                    ::testing::ExitedWithCode(0), "")
            << (noRenameFlags ? "nor rename flags" : "links only");
    }
}

} // namespace
} // namespace quovant
