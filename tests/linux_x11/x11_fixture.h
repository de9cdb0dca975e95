#pragma once

#include "support/desktop_peers.h"
#include "support/wait.h"

#include <QByteArray>
#include <QHash>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace quovant::testing {

// A test-side X client: presses keys through XTest exactly as automation or a remote-desktop
// server would, and inspects windows. Defined in x11_fixture.cpp so Xlib stays out of the tests.
class XClient {
public:
    XClient();
    ~XClient();
    bool connected() const;
    void key(int keycode, bool down);
    void tap(int keycode) {
        key(keycode, true);
        key(keycode, false);
    }
    // The first top-level window whose name is `name` (the hotkey listener names its window).
    std::optional<unsigned long> findWindowNamed(const QByteArray& name);
    // Ends the connection of the client that made `window`.
    void killClientOf(unsigned long window);
    void setInputFocus(unsigned long window);
    unsigned long clipboardOwner();
    // Leaves the clipboard without an owner, as on a fresh display.
    void clearClipboard();

    // A mapped window with the properties a window manager and toolkit would set (each empty
    // value or a zero pid is left out); `parent` 0 means a top-level window.
    unsigned long createWindow(const QByteArray& instance, const QByteArray& className,
                               const QByteArray& applicationId = {}, qint64 pid = 0,
                               const QByteArray& title = {}, unsigned long parent = 0);
    void destroyWindow(unsigned long window);
    // Publishes `_NET_ACTIVE_WINDOW` as a window manager would; 0 removes it.
    void setActiveWindow(unsigned long window);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The paste-target program on the test's display, driven line by line.
class PasteTarget {
public:
    explicit PasteTarget(const QStringList& arguments = {});
    ~PasteTarget();
    bool ready() const { return m_windowId != 0; }

    // Sends a command and waits for the line that starts with `answer`.
    std::optional<QByteArray> command(const QByteArray& line, const QByteArray& answer);
    // The last text a field reported (decoded), waiting until `expected` shows up.
    bool waitForText(const QByteArray& field, const QString& expected, int timeoutMs = 15000);
    QString lastText(const QByteArray& field) const;
    int pasteKeystrokes() const { return m_pastes; }
    // Puts these targets on the clipboard as this client's own copy.
    bool copy(const QList<QPair<QByteArray, QByteArray>>& targets);
    QByteArray errors();

private:
    void pump(int timeoutMs);
    void consume(const QByteArray& line);

    QProcess m_process;
    unsigned long m_windowId = 0;
    QHash<QByteArray, QString> m_texts;
    QList<QByteArray> m_lines;
    int m_pastes = 0;
};

// Reads one clipboard target as another client would (xclip); absent when the target is not
// offered or the owner does not answer.
std::optional<QByteArray> readClipboardTarget(const QByteArray& target);
// Puts `data` on the clipboard under `target` from another client (xclip), which keeps serving
// it until the test ends.
std::unique_ptr<PeerProcess> copyWithXclip(const QByteArray& target, const QByteArray& data);

// A clipboard manager as the desktop runs one: owns CLIPBOARD_MANAGER, and on SAVE_TARGETS copies
// every target of the clipboard, answers, and then serves the copy as the clipboard's owner.
class ClipboardManagerPeer {
public:
    ClipboardManagerPeer();
    ~ClipboardManagerPeer();
    bool running() const;
    // Target → data saved at the last SAVE_TARGETS request.
    QHash<QByteArray, QByteArray> saved() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// One Xvfb for every test of a suite; each test gets fresh windows.
class X11Suite : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;

    static std::unique_ptr<XvfbServer> s_xvfb;
};

} // namespace quovant::testing
