#include "app/desktop/resources/desktop_resources.h"

#include <QFile>

using namespace Qt::StringLiterals;

// Resources compiled into a static library must be registered by name before first use.
static void registerDesktopResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(quovant_desktop);
        return true;
    }();
    (void)registered;
}

namespace quovant::DesktopResources {

namespace {

QString modeSuffix(PipelineMode mode) {
    switch (mode) {
    case PipelineMode::editSelection:
        return u"edit"_s;
    case PipelineMode::developerPrompt:
        return u"prompt"_s;
    case PipelineMode::dictation:
        break;
    }
    return u"dictation"_s;
}

} // namespace

QString trayIconPath(PipelineState::Kind state, PipelineMode mode, bool accessible) {
    switch (state) {
    case PipelineState::Kind::recording:
        return u":/icons/recording-"_s + modeSuffix(mode) + u".svg"_s;
    case PipelineState::Kind::thinking:
        return u":/icons/thinking-"_s + modeSuffix(mode) + u".svg"_s;
    case PipelineState::Kind::error:
        return u":/icons/error.svg"_s;
    case PipelineState::Kind::idle:
        break;
    }
    return accessible ? u":/icons/idle.svg"_s : u":/icons/idle-no-access.svg"_s;
}

QIcon trayIcon(PipelineState::Kind state, PipelineMode mode, bool accessible) {
    registerDesktopResources();
    return QIcon(trayIconPath(state, mode, accessible));
}

QString applicationIconPath() {
    return u":/icons/quovant.svg"_s;
}

QIcon applicationIcon() {
    registerDesktopResources();
    return QIcon(applicationIconPath());
}

QByteArray sound(Sound sound) {
    registerDesktopResources();
    QFile file(sound == Sound::recordStart ? u":/sounds/record-start.wav"_s
                                           : u":/sounds/error.wav"_s);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace quovant::DesktopResources
