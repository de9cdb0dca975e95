#include "linux_x11/x11_fixture.h"

#include "platform/linux/x11/linux_frontmost_app.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

using namespace quovant;
using namespace quovant::testing;

namespace {

class LinuxFrontmostAppTest : public X11Suite {
protected:
    void TearDown() override {
        m_client.setActiveWindow(0);
        for (const unsigned long window : m_windows) {
            m_client.destroyWindow(window);
        }
    }

    unsigned long window(const QByteArray& instance, const QByteArray& className,
                         const QByteArray& applicationId = {}, qint64 pid = 0,
                         const QByteArray& title = {}, unsigned long parent = 0) {
        const unsigned long created =
            m_client.createWindow(instance, className, applicationId, pid, title, parent);
        m_windows.prepend(created);
        return created;
    }

    XClient m_client;
    QList<unsigned long> m_windows;
};

TEST_F(LinuxFrontmostAppTest, NamesTheActiveWindowsApplication) {
    const qint64 ownPid = ::getpid();
    QFile comm(QStringLiteral("/proc/self/comm"));
    ASSERT_TRUE(comm.open(QIODevice::ReadOnly));
    const QString ownName = QString::fromUtf8(comm.readAll()).trimmed();

    struct Case {
        const char* name;
        QByteArray instance, className, applicationId;
        qint64 pid;
        FrontmostApp expected;
        qint32 expectedPid;
    };
    const std::vector<Case> cases{
        {"toolkit application id first", "gedit", "Gedit", "org.gnome.gedit", 4242,
         {QStringLiteral("Gedit"), QStringLiteral("org.gnome.gedit")}, 4242},
        {"window class only", "navigator", "firefox", {}, 0,
         {QStringLiteral("firefox"), QStringLiteral("firefox")}, 0},
        {"no class: the process name", {}, {}, {}, ownPid, {ownName, std::nullopt},
         qint32(ownPid)},
    };
    LinuxFrontmostApp provider;
    for (const Case& c : cases) {
        m_client.setActiveWindow(window(c.instance, c.className, c.applicationId, c.pid));
        EXPECT_EQ(provider.frontmostApp(), c.expected) << c.name;
        const auto focused = provider.frontmostApplication();
        ASSERT_TRUE(focused) << c.name;
        EXPECT_EQ(focused->bundleID, c.expected.bundleID) << c.name;
        EXPECT_EQ(focused->processID, c.expectedPid) << c.name;
    }
}

TEST_F(LinuxFrontmostAppTest, WithoutAWindowManagerTheFocusedWindowAnswers) {
    m_client.setActiveWindow(0);
    LinuxFrontmostApp provider;
    const unsigned long top = window("xterm", "XTerm", {}, 77);
    const unsigned long child = window({}, {}, {}, 0, {}, top);
    m_client.setInputFocus(child);
    EXPECT_EQ(provider.frontmostApp(),
              (FrontmostApp{QStringLiteral("XTerm"), QStringLiteral("XTerm")}));
    EXPECT_EQ(provider.frontmostApplication()->processID, 77);

    m_client.setInputFocus(0);
    EXPECT_EQ(provider.frontmostApp(), FrontmostApp{});
    EXPECT_FALSE(provider.frontmostApplication());
}

TEST_F(LinuxFrontmostAppTest, TheDocumentComesFromTheWindowTitle) {
    QTemporaryDir project;
    ASSERT_TRUE(project.isValid());
    ASSERT_TRUE(QDir(project.path()).mkpath(QStringLiteral("src")));
    const QString file = project.path() + QStringLiteral("/src/main.cpp");
    QFile created(file);
    ASSERT_TRUE(created.open(QIODevice::WriteOnly));
    created.close();
    const QString home = project.path();

    const std::vector<std::pair<QString, std::optional<QString>>> titles{
        {QStringLiteral("main.cpp (~/src) - gedit"), file},
        {QStringLiteral("*main.cpp (%1/src) - GVIM").arg(project.path()), file},
        {QStringLiteral("%1 - Editor").arg(file), file},
        {QStringLiteral("Editing: ~/src/main.cpp"), file},
        {QStringLiteral("missing.cpp (~/src) - gedit"), std::nullopt},
        {QStringLiteral("me@host: ~/src"), std::nullopt},
        {QStringLiteral("Inbox - Mail"), std::nullopt},
        {QString(), std::nullopt},
    };
    for (const auto& [title, expected] : titles) {
        EXPECT_EQ(LinuxFrontmostApp::documentFromTitle(title, home), expected)
            << title.toStdString();
    }

    LinuxFrontmostApp provider;
    const QByteArray title = (file + QStringLiteral(" - Editor")).toUtf8();
    m_client.setActiveWindow(window("editor", "Editor", {}, 99, title));
    EXPECT_EQ(provider.focusedDocumentPath(99), file);
    // Another process's window is not asked about.
    EXPECT_EQ(provider.focusedDocumentPath(98), std::nullopt);
}

} // namespace
