#include "support/fields_program.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace quovant::testing {

namespace {

QString jsonString(const QString& text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

} // namespace

FieldsProgram::FieldsProgram(const QProcessEnvironment& environment, const QString& title,
                             Toolkit toolkit) {
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    if (toolkit == Toolkit::gtk) {
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral(QUOVANT_TEST_PROGRAMS_DIR "/gtk_fields.py"), title});
    } else {
        m_process.start(QStringLiteral(QUOVANT_QT_FIELDS), {title});
    }
    if (!m_process.waitForStarted(10000)) {
        return;
    }
    m_ready = readLine(30000) == QStringLiteral("ready");
}

FieldsProgram::~FieldsProgram() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

std::optional<QString> FieldsProgram::readLine(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return std::nullopt;
        }
        m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    return QString::fromUtf8(m_process.readLine()).trimmed();
}

std::optional<QString> FieldsProgram::command(const QString& line, int timeoutMs) {
    m_process.write((line + QStringLiteral("\n")).toUtf8());
    m_process.waitForBytesWritten(timeoutMs);
    return readLine(timeoutMs);
}

bool FieldsProgram::focus(const QString& field) {
    return command(QStringLiteral("focus ") + field) == QStringLiteral("ok");
}

bool FieldsProgram::setText(const QString& field, const QString& text) {
    return command(QStringLiteral("set ") + field + QStringLiteral(" ") + jsonString(text)) ==
           QStringLiteral("ok");
}

bool FieldsProgram::select(const QString& field, int start, int end) {
    return command(QStringLiteral("select %1 %2 %3").arg(field).arg(start).arg(end)) ==
           QStringLiteral("ok");
}

std::optional<QString> FieldsProgram::text(const QString& field) {
    const auto answer = command(QStringLiteral("get ") + field);
    if (!answer) {
        return std::nullopt;
    }
    const QJsonDocument document =
        QJsonDocument::fromJson(QStringLiteral("[%1]").arg(*answer).toUtf8());
    if (!document.isArray() || !document.array().at(0).isString()) {
        return std::nullopt;
    }
    return document.array().at(0).toString();
}

bool FieldsProgram::paste(const QString& text) {
    return command(QStringLiteral("paste ") + jsonString(text)) == QStringLiteral("ok");
}

bool FieldsProgram::hang(double seconds) {
    return command(QStringLiteral("hang ") + QString::number(seconds)) == QStringLiteral("ok");
}

} // namespace quovant::testing
