#pragma once

#include "app/desktop/desktop_access.h"
#include "app/desktop/onboarding/permission_model.h"
#include "app/desktop/status_menu_model.h"
#include "core/pipeline_mode.h"
#include "core/platform_kit.h"
#include "settings/config.h"

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QCoroTask>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;

namespace quovant {

class AtspiReader;
class ControlService;
class LinuxFrontmostApp;
class LinuxNotifier;
class OnboardingWindow;
class Pipeline;
class RecordingOverlay;
class SoundPlayer;
class Store;
class TrayHost;

// The tray application: loads the settings, assembles the Linux ports and the pipeline, arms the
// three push-to-talk keys, shows the tray icon and its menu, follows the pipeline's state and
// carries out the menu commands and the commands from the session bus. It decides nothing about
// dictation itself. Main thread.
class DesktopApplication final : public QObject {
public:
    explicit DesktopApplication(QObject* parent = nullptr);
    // Stops the keys and tears the capture down.
    ~DesktopApplication() override;

    // Everything after construction, in launch order; model preparation and arming the keys
    // finish later on the event loop.
    void launch();

    // The common path of every settings change: saves config.json, then gives the pipeline new
    // engines or just the new preferences.
    void apply(bool reloadEngines, bool reconfigureCapture,
               const std::function<void(Config&)>& change);
    void perform(MenuCommand command, const QVariant& value = {});

    // Control from outside; each returns whether it was accepted.
    bool press(PipelineMode mode);
    void release(PipelineMode mode);
    bool toggle(PipelineMode mode);
    void cancel();
    QString stateText() const;

    const Config& config() const { return m_config; }
    Pipeline* pipeline() const { return m_pipeline.get(); }
    QMenu* menu() const { return m_menu.get(); }
    QSystemTrayIcon* trayIcon() const { return m_tray.get(); }
    RecordingOverlay* overlay() const { return m_overlay.get(); }
    OnboardingWindow* onboarding() const { return m_onboarding.get(); }
    // The file of the icon the tray shows now.
    const QString& iconName() const { return m_iconName; }
    // Rebuilds the menu from the current settings and facts.
    void refreshMenu();

    // Seams for the dialogs and the desktop, replaced in tests.
    std::function<bool()> confirmDeletion;
    std::function<std::optional<QString>()> chooseFolder;
    std::function<void(const QUrl&)> openUrl;
    std::function<bool(const QString& program, const QStringList& arguments)> startProgram;
    std::function<DesktopAccess()> probeAccess = [] { return DesktopAccess::probe(); };
    // What the first-run window watches; set before `launch`.
    PermissionModel::Probes permissionProbes = PermissionModel::desktopProbes();

private:
    void handleStateChange();
    void refreshStatusIcon();
    void scheduleMenuRefresh();
    void createTrayIcon();
    void startMode(PipelineMode mode);
    QCoro::Task<void> prepareAndArm();
    QCoro::Task<void> applyToPipeline(bool reloadEngines, Config config);
    void notify(const QString& title, const QString& body);

    void selectPromptDestination(PromptDestination destination);
    void chooseRepository();
    void deleteRetainedData();
    void clearLearned();
    void openFile(const QString& path);
    void openHistory();
    void restart();
    void quit();
    void shutdown();

    QString dataPath(const QString& name) const;

    Config m_config;
    std::shared_ptr<AudioCapturing> m_capture;
    std::shared_ptr<LinuxNotifier> m_notifier;
    std::shared_ptr<LinuxFrontmostApp> m_frontmost;
    std::shared_ptr<AtspiReader> m_accessibilityReader;
    std::shared_ptr<RepositoryContextProviding> m_repositoryProvider;
    // Dictation, edit in place, prompt mode.
    std::array<std::shared_ptr<GlobalHotkey>, 3> m_hotkeys;
    std::array<bool, 3> m_armed{};
    std::shared_ptr<Store> m_store;
    std::unique_ptr<Pipeline> m_pipeline;
    std::unique_ptr<RecordingOverlay> m_overlay;
    std::unique_ptr<OnboardingWindow> m_onboarding;
    std::unique_ptr<SoundPlayer> m_sounds;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<TrayHost> m_trayHost;
    std::unique_ptr<ControlService> m_control;
    DesktopAccess m_access;
    QString m_iconName;
    bool m_menuRefreshPending = false;
    bool m_shutDown = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace quovant
