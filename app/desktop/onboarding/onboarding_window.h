#pragma once

#include "app/desktop/onboarding/microphone_check.h"
#include "app/desktop/onboarding/permission_model.h"
#include "core/ports/audio_capturing.h"

#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace quovant {

class OnboardingWidget;

// The first-run window, "Welcome to Quovant": three live rows (a sound input source, keys and
// typing on the X display, the accessibility bus), each with what it is for and a button to
// test or fix it, polled every 0.7 s while the window is open. Main thread.
//
//   onboarding.onRestartRequested = [&] { restart(); };
//   onboarding.onMicrophoneGranted = [&] { capture->warmUp(rate); };
//   onboarding.show();   // from start-up or the menu; a second call raises the same window
class OnboardingWindow {
public:
    static constexpr int kWidth = 560;
    static constexpr int kHeight = 640;

    // `capture` serves the microphone row's one-second test; the probes default to the desktop.
    explicit OnboardingWindow(std::shared_ptr<AudioCapturing> capture,
                              PermissionModel::Probes probes = PermissionModel::desktopProbes());
    ~OnboardingWindow();
    OnboardingWindow(const OnboardingWindow&) = delete;
    OnboardingWindow& operator=(const OnboardingWindow&) = delete;

    // The user asked to restart the application (after turning the accessibility bus on).
    std::function<void()> onRestartRequested;
    // A sound input source has just become reachable (at most once per appearance).
    std::function<void()> onMicrophoneGranted;
    // True while a recording is under way, so the microphone test must wait. Optional.
    std::function<bool()> captureBusy;

    // The key names in the footer once everything is granted (defaults "Right Alt" and
    // "Right Ctrl", the default dictation and prompt keys).
    void setKeyNames(const QString& dictationKey, const QString& promptKey);

    // Creates the window on first use; otherwise brings the existing one to the front.
    // Starts polling.
    void show();
    // Stops polling and closes the window (it is kept for the next `show`).
    void close();

    bool isVisible() const;
    PermissionModel& model() { return m_model; }
    // The window, created by the first `show`; null before. Widgets carry object names for tests.
    QWidget* window() const;

private:
    void build();
    void update();
    void testMicrophone();
    void turnOnAccessibility();

    PermissionModel m_model;
    MicrophoneCheck m_microphoneCheck;
    std::unique_ptr<OnboardingWidget> m_window;
    QString m_dictationKey;
    QString m_promptKey;
    QString m_accessibilityMessage;
};

} // namespace quovant
