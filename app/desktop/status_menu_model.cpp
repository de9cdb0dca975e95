#include "app/desktop/status_menu_model.h"

using namespace Qt::StringLiterals;

namespace quovant::StatusMenu {

namespace {

MenuEntry header(const QString& text) {
    return {MenuEntry::Kind::header, text};
}

MenuEntry detail(const QString& text) {
    return {MenuEntry::Kind::detail, text};
}

MenuEntry action(const QString& text, MenuCommand command) {
    return {MenuEntry::Kind::action, text, command};
}

MenuEntry toggle(const QString& text, MenuCommand command, bool on) {
    return {MenuEntry::Kind::action, text, command, {}, true, on};
}

MenuEntry choice(const QString& text, MenuCommand command, const QVariant& value, bool current) {
    return {MenuEntry::Kind::action, text, command, value, true, current};
}

MenuEntry separator() {
    return {MenuEntry::Kind::separator, {}};
}

MenuEntry submenu(const QString& text, QList<MenuEntry> children) {
    return {MenuEntry::Kind::submenu, text, MenuCommand::none, {}, false, false, std::move(children)};
}

QList<MenuEntry> keyChoices(PushToTalkKey current, MenuCommand command) {
    QList<MenuEntry> entries;
    for (const PushToTalkKey key : kAllPushToTalkKeys) {
        entries.append(choice(keyName(key), command, rawValue(key), key == current));
    }
    return entries;
}

QString milliseconds(qint64 value) {
    return QString::number(value) + u"ms"_s;
}

} // namespace

const QList<SpeechLocaleChoice>& speechLocales() {
    static const QList<SpeechLocaleChoice> table = {
        {u"en-US"_s, u"English — United States"_s}, {u"en-IN"_s, u"English — India"_s},
        {u"en-GB"_s, u"English — United Kingdom"_s}, {u"en-AU"_s, u"English — Australia"_s},
        {u"en-CA"_s, u"English — Canada"_s},         {u"en-IE"_s, u"English — Ireland"_s},
        {u"en-NZ"_s, u"English — New Zealand"_s},    {u"en-SG"_s, u"English — Singapore"_s},
        {u"en-ZA"_s, u"English — South Africa"_s},
    };
    return table;
}

const QList<RecordingLimitChoice>& recordingLimits() {
    static const QList<RecordingLimitChoice> table = {
        {60, u"1 minute"_s}, {180, u"3 minutes"_s}, {300, u"5 minutes"_s}};
    return table;
}

QString keyName(PushToTalkKey key) {
    switch (key) {
    case PushToTalkKey::rightOption:
        return u"Right Alt"_s;
    case PushToTalkKey::rightCommand:
        return u"Right Super"_s;
    case PushToTalkKey::fn:
        return u"Right Ctrl"_s;
    }
    return {};
}

QString agentName(AgentKind agent) {
    return agent == AgentKind::codex ? u"Codex"_s : u"Claude Code"_s;
}

QString localeDisplayName(const QString& identifier) {
    for (const SpeechLocaleChoice& choice : speechLocales()) {
        if (choice.identifier == identifier) {
            return choice.displayName;
        }
    }
    return identifier;
}

QString recordingLimitName(int seconds) {
    for (const RecordingLimitChoice& choice : recordingLimits()) {
        if (choice.seconds == seconds) {
            return choice.displayName;
        }
    }
    return QString::number(seconds) + u" seconds"_s;
}

QList<MenuEntry> build(const Config& config, const StatusMenuFacts& facts) {
    QList<MenuEntry> menu;

    // 1. What the keys do.
    menu.append(header(u"Hold "_s + keyName(config.pushToTalkKey) + u" to dictate"_s));
    menu.append(header(u"Hold "_s + keyName(config.promptKey) + u" for Prompt Mode"_s));
    menu.append(detail(u"Creates: Goal · Context · Constraints · Acceptance · Verification"_s));

    // 2. Repository.
    menu.append(detail(u"Repository: "_s + facts.repositoryName.value_or(u"Not detected"_s)));
    menu.append(detail(config.pinnedRepositoryPath ? u"Repository source: chosen folder"_s
                                                   : u"Repository source: automatic"_s));

    // 3. Engines.
    menu.append(detail(u"Recogniser: "_s + facts.recogniserName));
    menu.append(detail(u"Speech language: "_s + localeDisplayName(config.locale)));
    menu.append(detail(u"Noise reduction: "_s + (config.voiceProcessingEnabled ? u"on"_s : u"off"_s)));
    menu.append(detail(u"Recording limit: "_s + recordingLimitName(config.maximumRecordingSeconds)));
    menu.append(detail(u"Formatter: "_s + facts.formatterName));

    // 4. Response times.
    if (facts.p50 && facts.p90 && facts.p99) {
        menu.append(detail(u"Response: p50 "_s + milliseconds(*facts.p50) + u" · p90 "_s +
                           milliseconds(*facts.p90) + u" · p99 "_s + milliseconds(*facts.p99)));
    } else {
        menu.append(detail(u"Response: no samples yet"_s));
    }

    // 5. What is retained.
    menu.append(detail(QString::number(facts.historyCount) + u" history items · "_s +
                       QString::number(facts.retainedAudioCount) + u" retained recordings"_s));

    // 6. Keys, typing and the accessibility bus.
    if (facts.keysAndTyping && facts.accessibilityBus) {
        menu.append(detail(u"✓ Keys, typing and accessibility active"_s));
    } else {
        menu.append(detail(facts.keysAndTyping
                               ? u"⚠︎ Accessibility bus off — selected text can't be edited"_s
                               : u"⚠︎ Keys and typing not available — text can't be typed"_s));
        menu.append(action(u"Open Accessibility Settings…"_s, MenuCommand::openAccessibility));
        menu.append(action(u"Restart Quovant (after granting)"_s, MenuCommand::restart));
    }

    // 7. Keys.
    menu.append(separator());
    menu.append(submenu(u"Push-to-talk key"_s,
                        keyChoices(config.pushToTalkKey, MenuCommand::selectKey)));
    menu.append(submenu(u"Developer prompt key"_s,
                        keyChoices(config.promptKey, MenuCommand::selectPromptKey)));

    // 8. Where prompts go.
    QList<MenuEntry> destinations;
    destinations.append(choice(u"Focused app"_s, MenuCommand::selectPromptDestination,
                               rawValue(PromptDestination::focusedApp),
                               config.promptDestination == PromptDestination::focusedApp));
    const std::pair<AgentKind, bool> agents[] = {{AgentKind::codex, facts.codexInstalled},
                                                 {AgentKind::claude, facts.claudeInstalled}};
    for (const auto& [agent, installed] : agents) {
        const PromptDestination destination = agent == AgentKind::codex
                                                  ? PromptDestination::codex
                                                  : PromptDestination::claude;
        destinations.append(choice(agentName(agent) + (installed ? u""_s : u" · CLI not found"_s),
                                   MenuCommand::selectPromptDestination, rawValue(destination),
                                   config.promptDestination == destination));
    }
    menu.append(submenu(u"Prompt destination"_s, destinations));

    // 9. Repository choice.
    menu.append(toggle(u"Automatic repository context"_s, MenuCommand::toggleRepositoryContext,
                       config.repositoryContextEnabled));
    menu.append(action(u"Choose repository…"_s, MenuCommand::chooseRepository));
    menu.append(action(u"Use automatic repository detection"_s,
                       MenuCommand::clearPinnedRepository));

    // 10. Recognition and formatting.
    menu.append(submenu(
        u"Recogniser"_s,
        {choice(u"PocketSphinx (built-in)"_s, MenuCommand::selectAsr,
                rawValue(AsrKind::appleSpeech), config.asr == AsrKind::appleSpeech),
         choice(u"whisper.cpp server"_s, MenuCommand::selectAsr, rawValue(AsrKind::whisperServer),
                config.asr == AsrKind::whisperServer)}));
    QList<MenuEntry> locales;
    for (const SpeechLocaleChoice& locale : speechLocales()) {
        locales.append(choice(locale.displayName, MenuCommand::selectSpeechLocale,
                              locale.identifier, locale.identifier == config.locale));
    }
    menu.append(submenu(u"Speech language"_s, locales));
    menu.append(toggle(u"Reduce background noise"_s, MenuCommand::toggleVoiceProcessing,
                       config.voiceProcessingEnabled));
    QList<MenuEntry> limits;
    for (const RecordingLimitChoice& limit : recordingLimits()) {
        limits.append(choice(limit.displayName, MenuCommand::selectRecordingLimit, limit.seconds,
                             limit.seconds == config.maximumRecordingSeconds));
    }
    menu.append(submenu(u"Maximum recording"_s, limits));
    menu.append(submenu(
        u"Formatter"_s,
        {choice(u"Built-in formatter"_s, MenuCommand::selectFormatter,
                rawValue(FormatterKind::appleFoundation),
                config.formatter == FormatterKind::appleFoundation),
         choice(u"Ollama (local)"_s, MenuCommand::selectFormatter, rawValue(FormatterKind::ollama),
                config.formatter == FormatterKind::ollama),
         choice(u"None (raw transcript)"_s, MenuCommand::selectFormatter,
                rawValue(FormatterKind::none), config.formatter == FormatterKind::none)}));

    // 11. Learning.
    menu.append(separator());
    menu.append(toggle(u"Learn my vocabulary"_s, MenuCommand::toggleLearning,
                       config.learnVocabulary));
    if (config.learnVocabulary) {
        if (facts.learnedCount > 0) {
            menu.append(detail(u"   Learned "_s + QString::number(facts.learnedCount) +
                               u" of your words so far"_s));
            menu.append(action(u"   Forget learned words…"_s, MenuCommand::clearLearned));
        } else {
            menu.append(detail(u"   Learning… dictate to build your vocabulary"_s));
        }
    }

    // 12. Preferences.
    menu.append(separator());
    menu.append(toggle(u"Play sounds"_s, MenuCommand::toggleSounds, config.playSounds));
    menu.append(toggle(u"Show overlay"_s, MenuCommand::toggleOverlay, config.showOverlay));
    menu.append(toggle(u"Launch at login"_s, MenuCommand::toggleLaunchAtLogin,
                       config.launchAtLogin));
    menu.append(toggle(u"Keep local text history"_s, MenuCommand::toggleHistory,
                       config.retainHistory));
    menu.append(toggle(u"Keep audio recordings"_s, MenuCommand::toggleAudio, config.retainAudio));

    // 13. Files.
    menu.append(separator());
    menu.append(action(u"Setup & permissions…"_s, MenuCommand::openOnboarding));
    menu.append(action(u"Edit vocabulary…"_s, MenuCommand::openVocabulary));
    menu.append(action(u"Show history…"_s, MenuCommand::openHistory));
    menu.append(action(u"Show retained audio…"_s, MenuCommand::openAudio));
    menu.append(action(u"Delete retained text & audio…"_s, MenuCommand::deleteRetainedData));
    menu.append(action(u"Edit settings…"_s, MenuCommand::openConfig));
    menu.append(action(u"Show log…"_s, MenuCommand::openLog));

    // 14. Life cycle.
    menu.append(separator());
    menu.append(action(u"Restart Quovant"_s, MenuCommand::restart));
    menu.append(action(u"Quit Quovant"_s, MenuCommand::quit));
    return menu;
}

Config assignKey(Config config, PushToTalkKey key, bool prompt) {
    PushToTalkKey& role = prompt ? config.promptKey : config.pushToTalkKey;
    const PushToTalkKey previous = role;
    for (PushToTalkKey* other : {&config.pushToTalkKey, &config.editKey, &config.promptKey}) {
        if (other != &role && *other == key) {
            *other = previous;
        }
    }
    role = key;
    return config;
}

} // namespace quovant::StatusMenu
