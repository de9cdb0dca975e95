#pragma once

#include "core/agent_kind.h"
#include "settings/config.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

namespace quovant {

// What the tray menu can ask the shell to do. Entries of a submenu carry their value.
enum class MenuCommand {
    none,
    selectKey,
    selectPromptKey,
    selectPromptDestination,
    toggleRepositoryContext,
    chooseRepository,
    clearPinnedRepository,
    selectAsr,
    selectSpeechLocale,
    toggleVoiceProcessing,
    selectRecordingLimit,
    selectFormatter,
    toggleLearning,
    clearLearned,
    toggleSounds,
    toggleOverlay,
    toggleLaunchAtLogin,
    toggleHistory,
    toggleAudio,
    openOnboarding,
    openHistory,
    openVocabulary,
    openAudio,
    openConfig,
    openLog,
    openAccessibility,
    deleteRetainedData,
    restart,
    quit,
};

// One line of the tray menu, independent of the toolkit that shows it.
struct MenuEntry {
    enum class Kind { header, detail, action, separator, submenu };

    Kind kind = Kind::action;
    QString text;
    MenuCommand command = MenuCommand::none;
    QVariant value;
    bool checkable = false;
    bool checked = false;
    QList<MenuEntry> children;

    bool operator==(const MenuEntry&) const = default;
};

// Everything the menu shows besides the settings themselves.
struct StatusMenuFacts {
    std::optional<QString> repositoryName;
    QString recogniserName;
    QString formatterName;
    std::optional<qint64> p50, p90, p99;
    qint64 historyCount = 0;
    qint64 retainedAudioCount = 0;
    // The X11 key watcher and synthetic typing work on this display.
    bool keysAndTyping = false;
    // The accessibility bus is on, so selections and password fields can be read.
    bool accessibilityBus = false;
    bool codexInstalled = false;
    bool claudeInstalled = false;
    qint64 learnedCount = 0;
};

struct SpeechLocaleChoice {
    QString identifier;
    QString displayName;
};

struct RecordingLimitChoice {
    int seconds;
    QString displayName;
};

namespace StatusMenu {

const QList<SpeechLocaleChoice>& speechLocales();
const QList<RecordingLimitChoice>& recordingLimits();

// "Right Alt", "Right Super", "Right Ctrl".
QString keyName(PushToTalkKey key);
QString agentName(AgentKind agent);
QString localeDisplayName(const QString& identifier);
QString recordingLimitName(int seconds);

// The whole menu, top to bottom, for these settings and facts.
QList<MenuEntry> build(const Config& config, const StatusMenuFacts& facts);

// `config` with `key` given to the push-to-talk (or, with `prompt`, the prompt) role; the role
// that held that key takes over the one it replaces, so the three keys stay distinct.
Config assignKey(Config config, PushToTalkKey key, bool prompt);

} // namespace StatusMenu
} // namespace quovant
