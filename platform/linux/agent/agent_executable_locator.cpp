#include "platform/linux/agent/agent_executable_locator.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {

QString AgentExecutableLocator::executableName(AgentKind agent) {
    return agent == AgentKind::codex ? u"codex"_s : u"claude"_s;
}

QString AgentExecutableLocator::displayName(AgentKind agent) {
    return agent == AgentKind::codex ? u"Codex"_s : u"Claude Code"_s;
}

QStringList AgentExecutableLocator::candidates(AgentKind agent, const QString& homeDirectory) {
    const QString name = executableName(agent);
    QString home = homeDirectory;
    while (home.size() > 1 && home.endsWith(u'/')) {
        home.chop(1);
    }
    QStringList paths{u"/home/linuxbrew/.linuxbrew/bin/"_s + name, u"/usr/local/bin/"_s + name};
    if (home.startsWith(u'/')) {
        paths.append((home == u"/"_s ? QString() : home) + u"/.local/bin/"_s + name);
    }
    return paths;
}

std::optional<QString> AgentExecutableLocator::locate(AgentKind agent,
                                                      const QString& homeDirectory) {
    for (const QString& path : candidates(agent, homeDirectory)) {
        const QByteArray encoded = QFile::encodeName(path);
        struct stat st;
        if (::stat(encoded.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(encoded.constData(), X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

} // namespace quovant
