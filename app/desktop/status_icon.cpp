#include "app/desktop/status_icon.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QPixmap>

using namespace Qt::StringLiterals;

namespace quovant::StatusIcon {

namespace {

QString modeSuffix(PipelineMode mode) {
    switch (mode) {
    case PipelineMode::dictation:
        return u"dictation"_s;
    case PipelineMode::editSelection:
        return u"edit"_s;
    case PipelineMode::developerPrompt:
        return u"prompt"_s;
    }
    return {};
}

QIcon drawn(const QString& name) {
    QColor colour(0x5a, 0x5a, 0x5a);
    if (name.startsWith(u"recording"_s)) {
        colour = QColor(0xd0, 0x30, 0x30);
    } else if (name.startsWith(u"thinking"_s)) {
        colour = QColor(0x30, 0x70, 0xd0);
    } else if (name == u"error"_s || name == u"idle-attention"_s) {
        colour = QColor(0xe0, 0x90, 0x10);
    }
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    // Five bars, like a level meter.
    const int heights[] = {24, 40, 52, 38, 22};
    for (int i = 0; i < 5; ++i) {
        painter.drawRoundedRect(QRectF(6 + i * 11, 32 - heights[i] / 2.0, 8, heights[i]), 4, 4);
    }
    return QIcon(pixmap);
}

} // namespace

QString name(PipelineState::Kind state, PipelineMode mode, bool accessOK) {
    switch (state) {
    case PipelineState::Kind::idle:
        return accessOK ? u"idle"_s : u"idle-attention"_s;
    case PipelineState::Kind::recording:
        return u"recording-"_s + modeSuffix(mode);
    case PipelineState::Kind::thinking:
        return u"thinking-"_s + modeSuffix(mode);
    case PipelineState::Kind::error:
        return u"error"_s;
    }
    return {};
}

QIcon icon(const QString& name) {
    static QHash<QString, QIcon> cache;
    const auto found = cache.constFind(name);
    if (found != cache.constEnd()) {
        return *found;
    }
    const QString shipped = u":/quovant/icons/"_s + name + u".svg"_s;
    const QIcon result = QFile::exists(shipped) ? QIcon(shipped) : drawn(name);
    cache.insert(name, result);
    return result;
}

} // namespace quovant::StatusIcon
