#include "app/desktop/desktop_application.h"

#include "app/desktop/control_service.h"
#include "app/desktop/desktop_ports.h"
#include "app/desktop/onboarding/onboarding_window.h"
#include "app/desktop/overlay/recording_overlay.h"
#include "app/desktop/resources/desktop_resources.h"
#include "app/desktop/tray_host.h"
#include "pipeline/engine_factory.h"
#include "pipeline/pipeline.h"
#include "platform/linux/accessibility/atspi_reader.h"
#include "platform/linux/desktop/launch_at_login.h"
#include "platform/linux/desktop/linux_notifier.h"
#include "platform/linux/desktop/sound_player.h"
#include "platform/linux/x11/linux_frontmost_app.h"
#include "repository/repository_indexer.h"
#include "settings/learner.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/store.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <filesystem>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr int kDictation = 0, kEdit = 1, kPrompt = 2;

// Menu texts are plain text: a lone '&' would otherwise become a keyboard mnemonic and vanish
// ("Setup & permissions…", a repository folder with '&' in its name).
QString plainMenuText(QString text) {
    return text.replace(u'&', u"&&"_s);
}

// Renders the menu description into a Qt menu; `trigger` receives each chosen entry.
void render(QMenu* menu, const QList<MenuEntry>& entries,
            const std::function<void(MenuCommand, QVariant)>& trigger) {
    for (const MenuEntry& entry : entries) {
        switch (entry.kind) {
        case MenuEntry::Kind::separator:
            menu->addSeparator();
            break;
        case MenuEntry::Kind::header: {
            QAction* action = menu->addAction(plainMenuText(entry.text));
            QFont font = action->font();
            font.setBold(true);
            action->setFont(font);
            action->setEnabled(false);
            break;
        }
        case MenuEntry::Kind::detail:
            menu->addAction(plainMenuText(entry.text))->setEnabled(false);
            break;
        case MenuEntry::Kind::submenu:
            render(menu->addMenu(plainMenuText(entry.text)), entry.children, trigger);
            break;
        case MenuEntry::Kind::action: {
            QAction* action = menu->addAction(plainMenuText(entry.text));
            action->setCheckable(entry.checkable);
            action->setChecked(entry.checked);
            action->setData(entry.value);
            QObject::connect(action, &QAction::triggered, menu,
                             [trigger, command = entry.command, value = entry.value] {
                                 trigger(command, value);
                             });
            break;
        }
        }
    }
}

PushToTalkKey keyValue(const QVariant& value) {
    return parsePushToTalkKey(value.toString()).value_or(PushToTalkKey::rightOption);
}

} // namespace

DesktopApplication::DesktopApplication(QObject* parent)
    : QObject(parent), m_config(Config::load(QDir(Paths::root()).filePath(u"config.json"_s))) {
    m_capture = DesktopPorts::makeCapture(m_config);
    m_notifier = DesktopPorts::makeNotifier();
    m_frontmost = DesktopPorts::makeFrontmostApp();
    m_repositoryProvider = DesktopPorts::makeRepositoryProvider(m_frontmost);

    confirmDeletion = [] {
        QMessageBox box(QMessageBox::Warning, u"Delete retained text and audio?"_s,
                        u"Delete retained text and audio?"_s);
        box.setInformativeText(u"Your text history and saved WAV recordings will be deleted "
                               u"permanently. Your vocabulary and settings stay."_s);
        QPushButton* remove = box.addButton(u"Delete"_s, QMessageBox::DestructiveRole);
        box.addButton(u"Cancel"_s, QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == remove;
    };
    chooseFolder = []() -> std::optional<QString> {
        QFileDialog dialog(nullptr, u"Choose a repository for Prompt Mode"_s);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, u"Use Repository"_s);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        return dialog.selectedFiles().first();
    };
    openUrl = [](const QUrl& url) {
        if (!QDesktopServices::openUrl(url)) {
            Log::error(u"Could not open "_s + url.toString(QUrl::PreferLocalFile));
        }
    };
    startProgram = [](const QString& program, const QStringList& arguments) {
        return QProcess::startDetached(program, arguments);
    };
}

DesktopApplication::~DesktopApplication() {
    shutdown();
    *m_alive = false;
    m_alive.reset();
}

QString DesktopApplication::dataPath(const QString& name) const {
    return QDir(Paths::root()).filePath(name);
}

void DesktopApplication::launch() {
    // 1. The overlay shows the level and every notification.
    m_overlay = std::make_unique<RecordingOverlay>();
    m_overlay->levelProvider = [capture = m_capture] { return capture->currentLevel(); };
    m_notifier->present = [this, alive = std::weak_ptr<bool>(m_alive)](const QString& title,
                                                                       const QString& body) {
        if (!alive.expired()) {
            m_overlay->flash(title, body);
        }
    };
    m_sounds = std::make_unique<SoundPlayer>();
    m_sounds->setEnabled(m_config.playSounds);

    // 2. One key watcher per mode.
    m_hotkeys[kDictation] = DesktopPorts::makeHotkey(m_config.pushToTalkKey);
    m_hotkeys[kEdit] = DesktopPorts::makeHotkey(m_config.editKey);
    m_hotkeys[kPrompt] = DesktopPorts::makeHotkey(m_config.promptKey);

    // 3. Typing, selection, front window and agents, assembled for the pipeline.
    PlatformKit kit;
    kit.hotkey = m_hotkeys[kDictation];
    kit.capture = m_capture;
    kit.clipboard = DesktopPorts::makeClipboard();
    m_accessibilityReader = DesktopPorts::makeAccessibilityReader();
    kit.injector = DesktopPorts::makeInjector(m_accessibilityReader);
    kit.selectionEditor =
        DesktopPorts::makeSelectionEditor(m_accessibilityReader, kit.injector);
    kit.frontmostApp = m_frontmost;
    kit.repositoryContext = m_repositoryProvider;
    kit.agentHandoff = DesktopPorts::makeAgentLauncher();
    kit.notifier = m_notifier;
    EngineFactory::installNativeEngines(kit);

    // 4. Store and pipeline.
    m_store = std::make_shared<Store>(Paths::root(), RetentionLimits{});
    m_pipeline = std::make_unique<Pipeline>(m_config, std::move(kit), m_store);
    m_pipeline->onStateChange = [this](const PipelineState&) { handleStateChange(); };

    // 5. Keys to modes: press starts, release finishes naming the mode it expects.
    const std::array modes = {PipelineMode::dictation, PipelineMode::editSelection,
                              PipelineMode::developerPrompt};
    for (int i = 0; i < 3; ++i) {
        const PipelineMode mode = modes[i];
        m_hotkeys[i]->onPress = [this, mode] { startMode(mode); };
        m_hotkeys[i]->onRelease = [this, mode] { m_pipeline->finish(mode); };
        // A hold that turned out to be typing (Right Alt as AltGr, say) is no utterance.
        m_hotkeys[i]->onCancel = [this, mode] {
            const bool recording = m_pipeline->state().kind == PipelineState::Kind::recording ||
                                   m_pipeline->isStarting();
            if (recording && m_pipeline->activeMode() == mode) {
                m_pipeline->cancel();
            }
        };
    }

    // Control from outside, once there is a pipeline to control.
    m_control = std::make_unique<ControlService>();
    m_control->onPress = [this](PipelineMode mode) { return press(mode); };
    m_control->onRelease = [this](PipelineMode mode) { release(mode); };
    m_control->onToggle = [this](PipelineMode mode) { return toggle(mode); };
    m_control->onCancel = [this] { cancel(); };
    m_control->onState = [this] { return stateText(); };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && !m_control->registerOn(bus)) {
        Log::warn(u"Could not offer control on the session bus; `quovant toggle` and the other "
                  u"control commands will not reach this instance."_s);
    }

    // 6. The status icon; the tray shows it as soon as the desktop has one.
    m_access = probeAccess();
    m_menu = std::make_unique<QMenu>();
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] {
        m_access = probeAccess();
        refreshMenu();
    });
    refreshStatusIcon();
    refreshMenu();
    m_trayHost = std::make_unique<TrayHost>();
    m_trayHost->onAvailable = [this] { createTrayIcon(); };

    // 7.
    Log::info(u"Quovant launched. Initialising…"_s);

    // 8. The first-run window.
    m_onboarding = std::make_unique<OnboardingWindow>(m_capture, permissionProbes);
    m_onboarding->setKeyNames(StatusMenu::keyName(m_config.pushToTalkKey),
                              StatusMenu::keyName(m_config.promptKey));
    m_onboarding->onRestartRequested = [this] { restart(); };
    m_onboarding->onMicrophoneGranted = [this] {
        m_capture->warmUp(m_pipeline->asr()->requiredSampleRate());
    };
    m_onboarding->captureBusy = [this] {
        return m_pipeline->state().kind != PipelineState::Kind::idle || m_pipeline->isStarting();
    };

    // 9.
    if (!(m_config.didCompleteOnboarding && m_access.microphone && m_access.accessibility())) {
        m_onboarding->show();
        if (!m_config.didCompleteOnboarding) {
            m_config.didCompleteOnboarding = true;
            m_config.save(dataPath(u"config.json"_s));
        }
    }

    m_trayHost->start();
    // 10.
    prepareAndArm();
}

QCoro::Task<void> DesktopApplication::prepareAndArm() {
    const std::weak_ptr<bool> alive = m_alive;
    Log::info(u"Preparing models…"_s);
    co_await m_pipeline->prepare();
    if (alive.expired()) {
        co_return;
    }
    m_access = probeAccess();
    const bool microphone = m_access.microphone;
    auto granted = [](bool on) { return on ? u"granted"_s : u"MISSING"_s; };
    Log::info(u"Permissions · microphone: "_s + granted(microphone) + u" · keys and typing: "_s +
              granted(m_access.keysAndTyping) + u" · accessibility bus: "_s +
              granted(m_access.accessibilityBus));

    for (int i = 0; i < 3; ++i) {
        m_armed[i] = m_hotkeys[i]->start();
    }
    if (m_armed[kDictation] && m_armed[kEdit] && m_armed[kPrompt]) {
        Log::info(u"Ready. Hold "_s + StatusMenu::keyName(m_config.pushToTalkKey) +
                  u" to dictate; hold "_s + StatusMenu::keyName(m_config.promptKey) +
                  u" for Prompt Mode."_s);
    } else {
        Log::error(u"One or more hotkeys could not arm. Restart Quovant from the menu."_s);
        if (!m_access.keysAndTyping) {
            Log::error(u"NOT READY — Keys and typing are not available to Quovant on this "
                       u"display. The hotkey will receive no keystrokes. Start Quovant in an X11 "
                       u"session (on Wayland, bind `quovant toggle` to a desktop shortcut), then "
                       u"Restart from the menu."_s);
        }
    }
    refreshStatusIcon();
    scheduleMenuRefresh();
    if (microphone && m_access.keysAndTyping) {
        m_capture->warmUp(m_pipeline->asr()->requiredSampleRate());
    }
}

void DesktopApplication::createTrayIcon() {
    m_tray = std::make_unique<QSystemTrayIcon>();
    m_tray->setToolTip(u"Quovant"_s);
    m_tray->setIcon(QIcon(m_iconName));
    m_tray->setContextMenu(m_menu.get());
    // Some trays only report clicks; the menu is what a click should show there too.
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    m_menu->popup(QCursor::pos());
                }
            });
    m_tray->show();
}

// MARK: - State

void DesktopApplication::handleStateChange() {
    const PipelineState& state = m_pipeline->state();
    if (m_config.showOverlay) {
        m_overlay->show(state, m_pipeline->activeMode());
    }
    if (m_config.playSounds) {
        if (state.kind == PipelineState::Kind::recording) {
            m_sounds->play(DesktopResources::sound(DesktopResources::Sound::recordStart));
        } else if (state.isError()) {
            m_sounds->play(DesktopResources::sound(DesktopResources::Sound::error));
        }
    }
    refreshStatusIcon();
    const PipelineState::Kind kind = state.kind;
    // Counts and response times only change once an utterance is over; rebuilding the menu at
    // key-up would cost the delivery time.
    if (kind == PipelineState::Kind::idle || kind == PipelineState::Kind::error) {
        scheduleMenuRefresh();
    }
}

void DesktopApplication::refreshStatusIcon() {
    const PipelineState::Kind kind =
        m_pipeline ? m_pipeline->state().kind : PipelineState::Kind::idle;
    const PipelineMode mode = m_pipeline ? m_pipeline->activeMode() : PipelineMode::dictation;
    const QString name = DesktopResources::trayIconPath(kind, mode, m_access.accessibility());
    if (name == m_iconName) {
        return;
    }
    m_iconName = name;
    if (m_tray) {
        m_tray->setIcon(QIcon(name));
    }
}

void DesktopApplication::scheduleMenuRefresh() {
    if (m_menuRefreshPending) {
        return;
    }
    m_menuRefreshPending = true;
    const std::weak_ptr<bool> alive = m_alive;
    QTimer::singleShot(0, this, [this, alive] {
        if (!alive.expired()) {
            refreshMenu();
        }
    });
}

void DesktopApplication::refreshMenu() {
    m_menuRefreshPending = false;
    if (!m_menu || !m_pipeline) {
        return;
    }
    StatusMenuFacts facts;
    if (const auto& repository = m_pipeline->repositoryContext()) {
        facts.repositoryName = repository->name;
    }
    facts.recogniserName = m_pipeline->asr()->name();
    facts.formatterName = m_pipeline->formatter()->name();
    facts.p50 = m_pipeline->latency().percentile(50);
    facts.p90 = m_pipeline->latency().percentile(90);
    facts.p99 = m_pipeline->latency().percentile(99);
    facts.historyCount = m_store->totalCount();
    facts.retainedAudioCount = m_store->retainedAudioCount();
    facts.keysAndTyping = m_access.keysAndTyping;
    facts.accessibilityBus = m_access.accessibilityBus;
    facts.codexInstalled = m_pipeline->isAgentAvailable(AgentKind::codex);
    facts.claudeInstalled = m_pipeline->isAgentAvailable(AgentKind::claude);
    facts.learnedCount = m_pipeline->learner().learnedCount();

    // Submenus are children of the menu and outlive clear(), so they go explicitly.
    for (QMenu* submenu : m_menu->findChildren<QMenu*>(Qt::FindDirectChildrenOnly)) {
        submenu->deleteLater();
    }
    m_menu->clear();
    const std::weak_ptr<bool> alive = m_alive;
    render(m_menu.get(), StatusMenu::build(m_config, facts),
           [this, alive](MenuCommand command, const QVariant& value) {
               if (alive.expired()) {
                   return;
               }
               // Leaves the menu's own signal before anything rebuilds it.
               QTimer::singleShot(0, this, [this, alive, command, value] {
                   if (!alive.expired()) {
                       perform(command, value);
                   }
               });
           });
}

// MARK: - Control

void DesktopApplication::startMode(PipelineMode mode) {
    switch (mode) {
    case PipelineMode::dictation:
        m_pipeline->begin();
        break;
    case PipelineMode::editSelection:
        m_pipeline->beginEditing();
        break;
    case PipelineMode::developerPrompt:
        m_pipeline->beginPrompting();
        break;
    }
}

bool DesktopApplication::press(PipelineMode mode) {
    // A refused press is still passed on, so that its release is ignored as a key's would be.
    const bool wasStarting = m_pipeline->isStarting();
    startMode(mode);
    return !wasStarting && m_pipeline->isStarting();
}

void DesktopApplication::release(PipelineMode mode) {
    m_pipeline->finish(mode);
}

bool DesktopApplication::toggle(PipelineMode mode) {
    const PipelineState::Kind kind = m_pipeline->state().kind;
    const bool recording = kind == PipelineState::Kind::recording || m_pipeline->isStarting();
    if (recording && m_pipeline->activeMode() == mode) {
        m_pipeline->finish(mode);
        return true;
    }
    if (recording || kind == PipelineState::Kind::thinking) {
        return false;
    }
    return press(mode);
}

void DesktopApplication::cancel() {
    m_pipeline->cancel();
}

QString DesktopApplication::stateText() const {
    return ControlService::describe(m_pipeline->state(), m_pipeline->activeMode(),
                                    m_pipeline->isStarting());
}

// MARK: - Settings

void DesktopApplication::apply(bool reloadEngines, bool reconfigureCapture,
                               const std::function<void(Config&)>& change) {
    change(m_config);
    m_config.save(dataPath(u"config.json"_s));
    m_hotkeys[kDictation]->updateKey(m_config.pushToTalkKey);
    m_hotkeys[kEdit]->updateKey(m_config.editKey);
    m_hotkeys[kPrompt]->updateKey(m_config.promptKey);
    if (reconfigureCapture) {
        m_capture->setVoiceProcessingEnabled(m_config.voiceProcessingEnabled);
    }
    m_sounds->setEnabled(m_config.playSounds);
    if (!m_config.showOverlay) {
        m_overlay->hide();
    }
    m_onboarding->setKeyNames(StatusMenu::keyName(m_config.pushToTalkKey),
                              StatusMenu::keyName(m_config.promptKey));
    refreshMenu();
    applyToPipeline(reloadEngines, m_config);
}

QCoro::Task<void> DesktopApplication::applyToPipeline(bool reloadEngines, Config config) {
    const std::weak_ptr<bool> alive = m_alive;
    if (reloadEngines) {
        co_await m_pipeline->reload(std::move(config));
    } else {
        co_await m_pipeline->updatePreferences(std::move(config));
    }
    if (!alive.expired()) {
        // New engine names and a new repository show at once.
        scheduleMenuRefresh();
    }
}

void DesktopApplication::perform(MenuCommand command, const QVariant& value) {
    switch (command) {
    case MenuCommand::none:
        break;
    case MenuCommand::selectKey:
    case MenuCommand::selectPromptKey: {
        const bool prompt = command == MenuCommand::selectPromptKey;
        apply(false, false, [&](Config& config) {
            config = StatusMenu::assignKey(config, keyValue(value), prompt);
        });
        break;
    }
    case MenuCommand::selectPromptDestination:
        selectPromptDestination(
            parsePromptDestination(value.toString()).value_or(PromptDestination::focusedApp));
        break;
    case MenuCommand::toggleRepositoryContext:
        apply(false, false,
              [](Config& c) { c.repositoryContextEnabled = !c.repositoryContextEnabled; });
        break;
    case MenuCommand::chooseRepository:
        chooseRepository();
        break;
    case MenuCommand::clearPinnedRepository:
        apply(false, false, [](Config& c) { c.pinnedRepositoryPath.reset(); });
        break;
    case MenuCommand::selectAsr:
        if (const auto kind = parseAsrKind(value.toString())) {
            apply(true, false, [&](Config& c) { c.asr = *kind; });
        }
        break;
    case MenuCommand::selectSpeechLocale:
        apply(true, false, [&](Config& c) { c.locale = value.toString(); });
        break;
    case MenuCommand::toggleVoiceProcessing:
        apply(false, true,
              [](Config& c) { c.voiceProcessingEnabled = !c.voiceProcessingEnabled; });
        break;
    case MenuCommand::selectRecordingLimit:
        apply(false, false, [&](Config& c) { c.maximumRecordingSeconds = value.toInt(); });
        break;
    case MenuCommand::selectFormatter:
        if (const auto kind = parseFormatterKind(value.toString())) {
            apply(true, false, [&](Config& c) { c.formatter = *kind; });
        }
        break;
    case MenuCommand::toggleLearning:
        apply(false, false, [](Config& c) { c.learnVocabulary = !c.learnVocabulary; });
        break;
    case MenuCommand::clearLearned:
        clearLearned();
        break;
    case MenuCommand::toggleSounds:
        apply(false, false, [](Config& c) { c.playSounds = !c.playSounds; });
        break;
    case MenuCommand::toggleOverlay:
        apply(false, false, [](Config& c) { c.showOverlay = !c.showOverlay; });
        break;
    case MenuCommand::toggleLaunchAtLogin:
        apply(false, false, [](Config& c) { c.launchAtLogin = !c.launchAtLogin; });
        LaunchAtLogin::set(m_config.launchAtLogin);
        break;
    case MenuCommand::toggleHistory:
        apply(false, false, [](Config& c) { c.retainHistory = !c.retainHistory; });
        break;
    case MenuCommand::toggleAudio:
        apply(false, false, [](Config& c) { c.retainAudio = !c.retainAudio; });
        break;
    case MenuCommand::openOnboarding:
        m_onboarding->show();
        break;
    case MenuCommand::openHistory:
        openHistory();
        break;
    case MenuCommand::openVocabulary:
        m_store->ensureVocabularyFile();
        openFile(dataPath(u"vocabulary.txt"_s));
        break;
    case MenuCommand::openAudio:
        QDir().mkpath(dataPath(u"audio"_s));
        Paths::protectDirectory(dataPath(u"audio"_s));
        openFile(dataPath(u"audio"_s));
        break;
    case MenuCommand::openConfig:
        openFile(dataPath(u"config.json"_s));
        break;
    case MenuCommand::openLog:
        openFile(dataPath(u"quovant.log"_s));
        break;
    case MenuCommand::openAccessibility:
        // The first-run window says what is missing and turns the accessibility bus on.
        m_onboarding->show();
        break;
    case MenuCommand::deleteRetainedData:
        deleteRetainedData();
        break;
    case MenuCommand::restart:
        restart();
        break;
    case MenuCommand::quit:
        quit();
        break;
    }
}

void DesktopApplication::selectPromptDestination(PromptDestination destination) {
    if (destination != PromptDestination::focusedApp) {
        const AgentKind agent =
            destination == PromptDestination::codex ? AgentKind::codex : AgentKind::claude;
        if (!m_pipeline->isAgentAvailable(agent)) {
            const QString name = StatusMenu::agentName(agent);
            notify(name + u" CLI not found"_s,
                   u"Install and sign in to "_s + name + u", then choose it again."_s);
            refreshMenu();
            return;
        }
    }
    apply(false, false, [&](Config& c) { c.promptDestination = destination; });
}

void DesktopApplication::chooseRepository() {
    const std::optional<QString> folder = chooseFolder();
    if (!folder) {
        return;
    }
    const QFileInfo info(*folder);
    const QString resolved = info.canonicalFilePath().isEmpty() ? *folder : info.canonicalFilePath();
    const std::optional<QString> root = RepositoryIndexer::findRepositoryRoot(resolved);
    if (!root) {
        notify(u"Not a Git repository"_s,
               u"Choose a folder containing a .git directory or worktree marker."_s);
        return;
    }
    apply(false, false, [&](Config& c) { c.pinnedRepositoryPath = *root; });
}

void DesktopApplication::deleteRetainedData() {
    if (!confirmDeletion()) {
        return;
    }
    try {
        m_store->deleteRetainedData();
        Log::info(u"Retained text history and audio deleted by the user."_s);
        notify(u"Retained data deleted"_s, u"History and saved recordings were removed."_s);
    } catch (const std::exception& failure) {
        const QString description = QString::fromLocal8Bit(failure.what());
        Log::error(u"Could not delete retained data: "_s + description);
        notify(u"Couldn’t delete retained data"_s, description);
    }
    refreshMenu();
}

void DesktopApplication::clearLearned() {
    m_pipeline->learner().clear();
    Log::info(u"Learned vocabulary cleared by the user."_s);
    refreshMenu();
}

void DesktopApplication::openFile(const QString& path) {
    openUrl(QUrl::fromLocalFile(path));
}

void DesktopApplication::openHistory() {
    const QString history = dataPath(u"history.jsonl"_s);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString fileManager = u"org.freedesktop.FileManager1"_s;
    const bool reachable =
        QFileInfo::exists(history) && bus.isConnected() && bus.interface() &&
        (bus.interface()->isServiceRegistered(fileManager).value() ||
         bus.interface()->activatableServiceNames().value().contains(fileManager));
    if (reachable) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            fileManager, u"/org/freedesktop/FileManager1"_s, fileManager, u"ShowItems"_s);
        call.setArguments({QStringList{QUrl::fromLocalFile(history).toString()}, QString()});
        if (bus.send(call)) {
            return;
        }
    }
    // Without a file manager that can point at the file, its folder is the next best thing.
    openFile(Paths::root());
}

void DesktopApplication::notify(const QString& title, const QString& body) {
    m_notifier->notify(title, body);
}

// MARK: - Life cycle

void DesktopApplication::restart() {
    // The new instance must find the name free, or it would take itself for a second copy.
    ControlService::releaseName(QDBusConnection::sessionBus());
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (!startProgram(QCoreApplication::applicationFilePath(), arguments)) {
        Log::error(u"Could not start a new Quovant; staying open."_s);
        ControlService::claimName(QDBusConnection::sessionBus());
        return;
    }
    quit();
}

void DesktopApplication::quit() {
    shutdown();
    QCoreApplication::quit();
}

void DesktopApplication::shutdown() {
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    for (const auto& hotkey : m_hotkeys) {
        if (hotkey) {
            hotkey->stop();
        }
    }
    if (m_capture) {
        m_capture->stop();
    }
    if (m_tray) {
        m_tray->hide();
    }
    if (m_control) {
        QDBusConnection::sessionBus().unregisterObject(
            QString::fromLatin1(ControlService::kObjectPath));
    }
}

} // namespace quovant
