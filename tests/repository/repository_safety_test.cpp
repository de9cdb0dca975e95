#include "repository/git_repository_fixture.h"
#include "repository/repository_indexer.h"

#include "support/test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::GitRepository;
using testing::ScratchFolder;

// Reports every successful open of the watched files and folders (for a folder: of the folder
// itself or anything directly in it).
class OpenWatcher {
public:
    OpenWatcher() : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatcher() { ::close(m_fd); }

    void watch(const QString& path) {
        const int wd = ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
        ASSERT_GE(wd, 0) << path.toStdString();
        m_paths.insert(wd, path);
    }

    QStringList opened() {
        QStringList paths;
        alignas(inotify_event) char buffer[8192];
        ssize_t n;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                QString path = m_paths.value(event->wd);
                if (event->len > 0) {
                    path += u'/' + QFile::decodeName(event->name);
                }
                paths.append(path);
                at += sizeof(inotify_event) + event->len;
            }
        }
        return paths;
    }

private:
    int m_fd;
    QHash<int, QString> m_paths;
};

const RepositoryIndexLimits kLimits{5000, 160, 131072, 320, 24};

const char* const kLeaks[] = {"EnvLeak",     "EnvLocalLeak", "RsaLeak",     "PemLeak",
                              "SecretToken", "NodeLeak",     "OutsideType", "OutsideInner"};

struct Scenario {
    GitRepository repository;
    ScratchFolder outside;
};

// A repository whose tracked files include credentials, dependency folders and links that leave
// the tree. The FIFOs would block whoever opened them without care.
void prepare(Scenario& s) {
    GitRepository& r = s.repository;
    s.outside.write(u"Outside.swift"_s, "class OutsideType {}\n");
    s.outside.write(u"folder/Inner.swift"_s, "class OutsideInner {}\n");
    r.write(u"Sources/App.swift"_s, "class AppType {}\n");
    r.write(u".env"_s, "class EnvLeak {}\n");
    r.write(u".env.local"_s, "class EnvLocalLeak {}\n");
    r.write(u"id_rsa"_s, "class RsaLeak {}\n");
    r.write(u"cert.PEM"_s, "class PemLeak {}\n");
    r.write(u"secrets/Token.swift"_s, "class SecretToken {}\n");
    r.write(u"node_modules/pkg/index.js"_s, "class NodeLeak {}\n");
    r.write(u"pipe.swift"_s, "class PipeType {}\n");
    r.write(u"device.swift"_s, "class DeviceType {}\n");
    r.symlink(u".env"_s, u"config.swift"_s);
    r.symlink(u"secrets/Token.swift"_s, u"token.swift"_s);
    r.symlink(s.outside.path(u"Outside.swift"_s), u"outside.swift"_s);
    r.symlink(u"../"_s + QFileInfo(s.outside.path()).fileName() + u"/Outside.swift"_s,
              u"relative-outside.swift"_s);
    r.symlink(s.outside.path(u"folder"_s), u"outsideDir"_s);
    r.symlink(u"loop.swift"_s, u"loop.swift"_s);
    r.symlink(u"ping.swift"_s, u"pong.swift"_s);
    r.symlink(u"pong.swift"_s, u"ping.swift"_s);
    r.commitAll();
    for (const QString& name : {u".env"_s, u"id_rsa"_s, u"secrets/Token.swift"_s,
                                u"node_modules/pkg/index.js"_s, u"pipe.swift"_s}) {
        r.makeFifo(name);
    }
    // Opening a device can act on it. Only root may make one; a twin of /dev/null is harmless.
    const QByteArray device = QFile::encodeName(r.path(u"device.swift"_s));
    if (::unlink(device.constData()) == 0) {
        ::mknod(device.constData(), S_IFCHR | 0600, makedev(1, 3));
    }
    for (const QString& name : {u".env.local"_s, u"cert.PEM"_s}) {
        ::chmod(QFile::encodeName(r.path(name)).constData(), 0);
    }
}

void watchEverythingSensitive(OpenWatcher& watcher, const Scenario& s) {
    const GitRepository& r = s.repository;
    for (const QString& name :
         {u".env"_s, u".env.local"_s, u"id_rsa"_s, u"cert.PEM"_s, u"secrets"_s, u"node_modules"_s,
          u"node_modules/pkg"_s, u"pipe.swift"_s, u"device.swift"_s}) {
        if (QFileInfo::exists(r.path(name))) {
            watcher.watch(r.path(name));
        }
    }
    watcher.watch(s.outside.path());
    watcher.watch(s.outside.path(u"folder"_s));
}

TEST(RepositorySafetyTest, NeverOpensExcludedOrEscapingFiles) {
    Scenario s;
    prepare(s);
    const QString outsideName = QFileInfo(s.outside.path()).fileName();
    const QStringList handPicked{
        u"../"_s + outsideName + u"/Outside.swift"_s,
        s.outside.path(u"Outside.swift"_s),
        u"outsideDir/Inner.swift"_s,
        u"Sources/../.env"_s,
        u"Sources\\..\\id_rsa"_s,
        u"secrets/Token.swift"_s,
        u".env"_s,
        u"config.swift"_s,
        u"token.swift"_s,
        u"loop.swift"_s,
        u"ping.swift"_s,
        u"pipe.swift"_s,
        u"device.swift"_s,
        u"Sources/App.swift"_s,
    };
    struct Mode {
        const char* name;
        std::optional<QString> git;
        std::optional<QStringList> trackedFiles;
    };
    const Mode modes[] = {
        {"git listing", std::nullopt, std::nullopt},
        {"folder walk", QString(), std::nullopt},
        {"given paths", std::nullopt, handPicked},
    };
    for (const Mode& mode : modes) {
        OpenWatcher watcher;
        watchEverythingSensitive(watcher, s);
        const RepositoryContext context =
            RepositoryIndexer{kLimits, mode.git}.index(s.repository.root(), mode.trackedFiles);
        EXPECT_EQ(watcher.opened(), QStringList()) << mode.name;
        EXPECT_TRUE(context.vocabulary.contains(u"AppType"_s)) << mode.name;
        for (const char* leak : kLeaks) {
            EXPECT_FALSE(context.vocabulary.contains(QString::fromUtf8(leak)))
                << mode.name << ": " << leak;
        }
        for (const QString& keyFile : context.keyFiles) {
            // A FIFO or a device is named, never read.
            EXPECT_TRUE(keyFile == u"Sources/App.swift"_s || keyFile == u"pipe.swift"_s ||
                        keyFile == u"device.swift"_s)
                << mode.name << ": " << keyFile.toStdString();
        }
    }
}

} // namespace
} // namespace quovant
