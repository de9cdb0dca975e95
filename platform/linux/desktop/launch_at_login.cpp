#include "platform/linux/desktop/launch_at_login.h"

#include "settings/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using namespace Qt::StringLiterals;

namespace quovant::LaunchAtLogin {

namespace {

void logFailure(const QString& reason) {
    Log::error(u"Could not change launch-at-login: "_s + reason);
}

// A desktop entry's Exec value: arguments with reserved characters are double-quoted, and
// inside quotes `"`, `` ` ``, `$` and `\` are escaped; `%` is doubled everywhere.
QString quoteExecArgument(const QString& argument) {
    QString escaped = argument;
    escaped.replace(u'%', u"%%"_s);
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#()`"_s;
    bool needsQuotes = escaped.isEmpty();
    for (const QChar c : escaped) {
        needsQuotes = needsQuotes || reserved.contains(c);
    }
    if (!needsQuotes) {
        return escaped;
    }
    QString quoted;
    for (const QChar c : escaped) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        }
        quoted += c;
    }
    // The key-file layer unescapes once more, so backslashes are doubled again.
    quoted.replace(u"\\"_s, u"\\\\"_s);
    return u'"' + quoted + u'"';
}

QString executablePath() {
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? u"quovant"_s : path;
}

} // namespace

QString entryPath() {
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative value is invalid under the base-directory rules and is ignored.
    if (configHome.isEmpty() || QDir::isRelativePath(configHome)) {
        configHome = QDir::homePath() + u"/.config"_s;
    }
    return configHome + u"/autostart/quovant.desktop"_s;
}

QString entryText(const QString& executable) {
    return u"[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quovant\n"
           "Comment=Private, on-device voice dictation\n"
           "Exec="_s +
           quoteExecArgument(executable) +
           u"\n"
           "Icon=quovant\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"_s;
}

bool isEnabled() {
    return QFileInfo::exists(entryPath());
}

void set(bool enabled) {
    const QString path = entryPath();
    QFileInfo info(path);
    if (!enabled) {
        if (!info.exists() && !info.isSymLink()) {
            return;
        }
        QFile file(path);
        if (!file.remove()) {
            logFailure(u"could not remove "_s + path + u": "_s + file.errorString());
        }
        return;
    }

    const QByteArray text = entryText(executablePath()).toUtf8();
    if (info.isFile()) {
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == text) {
            return;
        }
    }
    if (info.exists() && !info.isFile()) {
        logFailure(path + u" is not a regular file"_s);
        return;
    }
    const QString folder = info.absolutePath();
    if (!QDir().mkpath(folder)) {
        logFailure(u"could not create "_s + folder);
        return;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        logFailure(u"could not write "_s + path + u": "_s + file.errorString());
    }
}

} // namespace quovant::LaunchAtLogin
