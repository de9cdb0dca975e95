#include "app/desktop/onboarding/permission_model.h"

#include "platform/linux/desktop/sound_input_probe.h"

namespace quovant {

PermissionModel::Probes PermissionModel::desktopProbes() {
    return {
        [] { return SoundInputProbe::probe().available(); },
        [] { return DisplayCapabilities::probe(); },
        [] { return AccessibilityBus().isEnabled(); },
        [] { return AccessibilityBus().enable(); },
    };
}

PermissionModel::PermissionModel(Probes probes) : m_probes(std::move(probes)) {
    m_timer.setInterval(kPollMs);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { refresh(); });
}

void PermissionModel::refresh() {
    const bool hadMicrophone = m_microphone;
    m_microphone = m_probes.soundInput ? m_probes.soundInput() : false;
    m_display = m_probes.display ? m_probes.display() : DisplayCapabilities{};
    m_accessibilityBus = m_probes.accessibilityBus ? m_probes.accessibilityBus() : false;
    if (!hadMicrophone && m_microphone && onMicrophoneGranted) {
        onMicrophoneGranted();
    }
    if (onChanged) {
        onChanged();
    }
}

void PermissionModel::startPolling() {
    refresh();
    m_timer.start();
}

void PermissionModel::stopPolling() {
    m_timer.stop();
}

AccessibilityBus::EnableResult PermissionModel::enableAccessibilityBus() {
    AccessibilityBus::EnableResult result =
        m_probes.enableAccessibilityBus ? m_probes.enableAccessibilityBus()
                                        : AccessibilityBus::EnableResult{false, {}};
    refresh();
    return result;
}

} // namespace quovant
