#pragma once

#include "app/desktop/command_line.h"
#include "core/pipeline_mode.h"
#include "core/pipeline_state.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>

#include <functional>

namespace quovant {

// The running application's remote control on the session bus ("org.quovant.Quovant"), so that
// a desktop's own shortcut settings (or a script) can drive dictation where global keys cannot be
// watched. Methods: Press(s mode) → b, Release(s mode), Toggle(s mode) → b, Cancel(),
// State() → s. Modes are "dictation", "edit" and "prompt". Main thread.
class ControlService final : public QDBusVirtualObject {
public:
    static constexpr auto kServiceName = "org.quovant.Quovant";
    static constexpr auto kObjectPath = "/org/quovant/Quovant";
    static constexpr auto kInterface = "org.quovant.Quovant";

    enum class Claim { claimed, alreadyRunning, noBus };
    // Takes the well-known name, unless another instance holds it.
    static Claim claimName(QDBusConnection connection);
    static void releaseName(QDBusConnection connection);

    // Each returns whether the request was accepted.
    std::function<bool(PipelineMode)> onPress;
    std::function<void(PipelineMode)> onRelease;
    std::function<bool(PipelineMode)> onToggle;
    std::function<void()> onCancel;
    std::function<QString()> onState;

    bool registerOn(QDBusConnection connection);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

    // "idle", "recording dictation", "thinking edit", "error: <message>".
    static QString describe(const PipelineState& state, PipelineMode mode, bool starting);
};

namespace ControlClient {

// Calls the running instance for a control command; prints what the user should see and gives
// the exit status.
int run(const CommandLine& command);

} // namespace ControlClient
} // namespace quovant
