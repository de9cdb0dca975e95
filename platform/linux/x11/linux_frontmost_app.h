#pragma once

#include "core/ports/frontmost_app_provider.h"
#include "repository/focused_window_info_source.h"

#include <memory>

namespace quovant {

// The application in front on an X11 display (EWMH `_NET_ACTIVE_WINDOW`, else the focused
// window): identifier = `_GTK_APPLICATION_ID` or the `WM_CLASS` class, name = the `WM_CLASS`
// class or the process name from `_NET_WM_PID`. Also tells the repository provider the window's
// process and the document its title names. Main thread; its own display connection.
class LinuxFrontmostApp final : public FrontmostAppProvider, public FocusedWindowInfoSource {
public:
    LinuxFrontmostApp();
    ~LinuxFrontmostApp() override;

    FrontmostApp frontmostApp() override;
    std::optional<FocusedApplication> frontmostApplication() override;
    // A file the focused window's title names ("notes.txt (~/project) - gedit",
    // "/home/me/src/main.cpp - Editor") that exists; absent when the title names none.
    std::optional<QString> focusedDocumentPath(qint32 processID) override;

    // The existing file a window title names, if any; `home` expands a leading "~".
    static std::optional<QString> documentFromTitle(const QString& title, const QString& home);

private:
    struct FrontWindow;
    std::optional<FrontWindow> frontWindow();

    struct Connection;
    std::unique_ptr<Connection> m_connection;
};

} // namespace quovant
