#pragma once

#include "core/pipeline_mode.h"
#include "core/pipeline_state.h"

#include <QByteArray>
#include <QIcon>
#include <QString>

namespace quovant {

// The pictures and sounds shipped inside the program (scalable SVG icons, short WAV sounds), so
// the tray looks the same on every desktop whatever its icon theme. Main thread (QIcon).
namespace DesktopResources {

// The tray icon for a state and the active mode. Idle and error look the same in every mode;
// idle shows a warning badge when the keys-and-typing or accessibility access is missing.
QString trayIconPath(PipelineState::Kind state, PipelineMode mode, bool accessible);
QIcon trayIcon(PipelineState::Kind state, PipelineMode mode, bool accessible);

// The application's own icon (also installed as "quovant" in the hicolor theme).
QString applicationIconPath();
QIcon applicationIcon();

enum class Sound { recordStart, error };
// The sound's WAV file (16-bit PCM), for `SoundPlayer::play`.
QByteArray sound(Sound sound);

} // namespace DesktopResources
} // namespace quovant
