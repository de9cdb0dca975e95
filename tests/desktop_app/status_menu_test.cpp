#include "app/desktop/desktop_application.h"
#include "app/desktop/resources/desktop_resources.h"
#include "app/desktop/status_menu_model.h"
#include "pipeline/pipeline.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "support/desktop_peers.h"
#include "support/test_support.h"

#include <QAction>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace quovant;
using quovant::testing::readFile;
using quovant::testing::writeFile;

namespace {

// The text as the menu shows it: "&&" is a literal '&', a lone '&' marks a mnemonic and is not shown.
QString shown(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size()) {
            ++i;
        }
        out.append(text[i]);
    }
    return out;
}

// The menu as a person reads it: "*bold header*", "(disabled detail)", "[x] checked",
// "[ ] unchecked", "---" separators, "> submenu" with its entries indented.
QStringList read(const QMenu* menu, const QString& indent = {}) {
    QStringList lines;
    for (const QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            lines.append(indent + u"---"_s);
        } else if (action->menu()) {
            lines.append(indent + u"> "_s + shown(action->text()));
            lines.append(read(action->menu(), indent + u"  "_s));
        } else if (!action->isEnabled()) {
            lines.append(indent + (action->font().bold() ? u"*"_s + shown(action->text()) + u"*"_s
                                                         : u"("_s + shown(action->text()) + u")"_s));
        } else if (action->isCheckable()) {
            lines.append(indent + (action->isChecked() ? u"[x] "_s : u"[ ] "_s) +
                                         shown(action->text()));
        } else {
            lines.append(indent + shown(action->text()));
        }
    }
    return lines;
}

QString idleIcon(bool accessible) {
    return DesktopResources::trayIconPath(PipelineState::Kind::idle, PipelineMode::dictation,
                                          accessible);
}

QString configPath() {
    return QDir(Paths::root()).filePath(u"config.json"_s);
}

QJsonObject savedConfig() {
    return QJsonDocument::fromJson(readFile(configPath())).object();
}

class DesktopMenu : public ::testing::Test {
protected:
    // A bus of the suite's own, so the application's control object reaches no real session.
    static void SetUpTestSuite() { s_bus = new quovant::testing::SessionBus(); }
    static void TearDownTestSuite() {
        delete s_bus;
        s_bus = nullptr;
    }

    DesktopApplication& launch(const QByteArray& config,
                               DesktopAccess access = {true, true, true}) {
        QFile::remove(QDir(Paths::root()).filePath(u"history.jsonl"_s));
        writeFile(configPath(), config);
        m_app = std::make_unique<DesktopApplication>();
        // The desktop as the test describes it, never the machine's own services.
        m_app->probeAccess = [access] { return access; };
        m_app->permissionProbes = {
            [access] { return access.microphone; },
            [access] {
                DisplayCapabilities display;
                display.displayReachable = display.xinput21 = display.xtest = access.keysAndTyping;
                return display;
            },
            [access] { return access.accessibilityBus; },
            [] { return AccessibilityBus::EnableResult{false, u"not in tests"_s}; }};
        m_app->launch();
        return *m_app;
    }

    QStringList menuLines() const { return read(m_app->menu()); }

    // Whether a line of the log ends with `ending`.
    static bool logged(const QString& ending) {
        Log::flush();
        const QStringList lines =
            QString::fromUtf8(readFile(QDir(Paths::root()).filePath(u"quovant.log"_s)))
                .split(u'\n');
        return std::any_of(lines.begin(), lines.end(),
                           [&](const QString& line) { return line.endsWith(ending); });
    }

    static quovant::testing::SessionBus* s_bus;
    std::unique_ptr<DesktopApplication> m_app;
};

quovant::testing::SessionBus* DesktopMenu::s_bus = nullptr;

TEST_F(DesktopMenu, DefaultSettingsShowEveryGroupInOrder) {
    launch(R"({"retainHistory": true})");
    const QStringList expected = {
        u"*Hold Right Alt to dictate*"_s,
        u"*Hold Right Ctrl for Prompt Mode*"_s,
        u"(Creates: Goal · Context · Constraints · Acceptance · Verification)"_s,
        u"(Repository: Not detected)"_s,
        u"(Repository source: automatic)"_s,
        u"(Recogniser: PocketSphinx (built-in))"_s,
        u"(Speech language: English — United States)"_s,
        u"(Noise reduction: on)"_s,
        u"(Recording limit: 3 minutes)"_s,
        u"(Formatter: Built-in formatter)"_s,
        u"(Response: no samples yet)"_s,
        u"(0 history items · 0 retained recordings)"_s,
        u"(✓ Keys, typing and accessibility active)"_s,
        u"---"_s,
        u"> Push-to-talk key"_s,
        u"  [x] Right Alt"_s,
        u"  [ ] Right Super"_s,
        u"  [ ] Right Ctrl"_s,
        u"> Developer prompt key"_s,
        u"  [ ] Right Alt"_s,
        u"  [ ] Right Super"_s,
        u"  [x] Right Ctrl"_s,
        u"> Prompt destination"_s,
        u"  [x] Focused app"_s,
        u"  [ ] Codex · CLI not found"_s,
        u"  [ ] Claude Code · CLI not found"_s,
        u"[x] Automatic repository context"_s,
        u"Choose repository…"_s,
        u"Use automatic repository detection"_s,
        u"> Recogniser"_s,
        u"  [x] PocketSphinx (built-in)"_s,
        u"  [ ] whisper.cpp server"_s,
        u"> Speech language"_s,
        u"  [x] English — United States"_s,
        u"  [ ] English — India"_s,
        u"  [ ] English — United Kingdom"_s,
        u"  [ ] English — Australia"_s,
        u"  [ ] English — Canada"_s,
        u"  [ ] English — Ireland"_s,
        u"  [ ] English — New Zealand"_s,
        u"  [ ] English — Singapore"_s,
        u"  [ ] English — South Africa"_s,
        u"[x] Reduce background noise"_s,
        u"> Maximum recording"_s,
        u"  [ ] 1 minute"_s,
        u"  [x] 3 minutes"_s,
        u"  [ ] 5 minutes"_s,
        u"> Formatter"_s,
        u"  [x] Built-in formatter"_s,
        u"  [ ] Ollama (local)"_s,
        u"  [ ] None (raw transcript)"_s,
        u"---"_s,
        u"[x] Learn my vocabulary"_s,
        u"(   Learning… dictate to build your vocabulary)"_s,
        u"---"_s,
        u"[x] Play sounds"_s,
        u"[x] Show overlay"_s,
        u"[ ] Launch at login"_s,
        u"[x] Keep local text history"_s,
        u"[ ] Keep audio recordings"_s,
        u"---"_s,
        u"Setup & permissions…"_s,
        u"Edit vocabulary…"_s,
        u"Show history…"_s,
        u"Show retained audio…"_s,
        u"Delete retained text & audio…"_s,
        u"Edit settings…"_s,
        u"Show log…"_s,
        u"---"_s,
        u"Restart Quovant"_s,
        u"Quit Quovant"_s,
    };
    EXPECT_EQ(menuLines(), expected);
    EXPECT_EQ(m_app->iconName(), idleIcon(true));
}

TEST_F(DesktopMenu, UnusualSettingsAndMissingAccessShowAsTheyAre) {
    struct Case {
        QByteArray config;
        DesktopAccess access;
        QStringList present;
        QStringList absent;
        bool accessible;
    };
    const Case cases[] = {
        {R"({"maximumRecordingSeconds": 120, "locale": "en-XX", "voiceProcessingEnabled": false})",
         {true, true, true},
         {u"(Recording limit: 120 seconds)"_s, u"(Speech language: en-XX)"_s,
          u"(Noise reduction: off)"_s, u"  [ ] 1 minute"_s, u"  [ ] 3 minutes"_s,
          u"  [ ] 5 minutes"_s, u"[ ] Reduce background noise"_s},
         {u"  [x] 3 minutes"_s, u"  [x] English — United States"_s},
         true},
        {"{}",
         {true, false, false},
         {u"(⚠︎ Keys and typing not available — text can't be typed)"_s,
          u"Open Accessibility Settings…"_s, u"Restart Quovant (after granting)"_s},
         {u"(✓ Keys, typing and accessibility active)"_s},
         false},
        {"{}",
         {true, true, false},
         {u"(⚠︎ Accessibility bus off — selected text can't be edited)"_s,
          u"Open Accessibility Settings…"_s},
         {},
         false},
        {R"({"pushToTalkKey": "fn", "learnVocabulary": false, "pinnedRepositoryPath": "/nowhere"})",
         {true, true, true},
         {u"*Hold Right Ctrl to dictate*"_s, u"*Hold Right Alt for Prompt Mode*"_s,
          u"(Repository source: chosen folder)"_s, u"[ ] Learn my vocabulary"_s},
         {u"(   Learning… dictate to build your vocabulary)"_s},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config.toStdString());
        launch(c.config, c.access);
        const QStringList lines = menuLines();
        for (const QString& line : c.present) {
            EXPECT_TRUE(lines.contains(line)) << line.toStdString();
        }
        for (const QString& line : c.absent) {
            EXPECT_FALSE(lines.contains(line)) << line.toStdString();
        }
        EXPECT_EQ(m_app->iconName(), idleIcon(c.accessible));
    }
}

TEST_F(DesktopMenu, SettingsChangesAreSavedAndShownAtOnce) {
    DesktopApplication& app = launch("{}");
    app.perform(MenuCommand::toggleSounds);
    app.perform(MenuCommand::selectRecordingLimit, 60);
    // Taking the prompt key for push-to-talk hands the old push-to-talk key to prompt mode.
    app.perform(MenuCommand::selectKey, u"fn"_s);
    app.perform(MenuCommand::selectFormatter, u"none"_s);

    const QJsonObject saved = savedConfig();
    EXPECT_EQ(saved.value(u"playSounds"_s), false);
    EXPECT_EQ(saved.value(u"maximumRecordingSeconds"_s), 60);
    EXPECT_EQ(saved.value(u"pushToTalkKey"_s), u"fn"_s);
    EXPECT_EQ(saved.value(u"editKey"_s), u"rightCommand"_s);
    EXPECT_EQ(saved.value(u"promptKey"_s), u"rightOption"_s);
    EXPECT_EQ(saved.value(u"formatter"_s), u"none"_s);

    QCoreApplication::processEvents();
    const QStringList lines = menuLines();
    for (const QString& line :
         {u"[ ] Play sounds"_s, u"(Recording limit: 1 minute)"_s, u"  [x] 1 minute"_s,
          u"*Hold Right Ctrl to dictate*"_s, u"*Hold Right Alt for Prompt Mode*"_s,
          u"(Formatter: None (raw transcript))"_s}) {
        EXPECT_TRUE(lines.contains(line)) << line.toStdString();
    }
    EXPECT_EQ(app.pipeline()->config().formatter, FormatterKind::none);
}

TEST_F(DesktopMenu, KeyChoicesKeepTheThreeKeysDistinct) {
    const Config defaults;
    struct Case {
        PushToTalkKey key;
        bool prompt;
        PushToTalkKey dictation, edit, promptKey;
    };
    using K = PushToTalkKey;
    const Case cases[] = {
        {K::rightCommand, false, K::rightCommand, K::rightOption, K::fn},
        {K::fn, false, K::fn, K::rightCommand, K::rightOption},
        {K::rightOption, true, K::fn, K::rightCommand, K::rightOption},
        {K::rightCommand, true, K::rightOption, K::fn, K::rightCommand},
        {K::fn, true, K::rightOption, K::rightCommand, K::fn},
    };
    for (const Case& c : cases) {
        const Config result = StatusMenu::assignKey(defaults, c.key, c.prompt);
        EXPECT_EQ(result.pushToTalkKey, c.dictation);
        EXPECT_EQ(result.editKey, c.edit);
        EXPECT_EQ(result.promptKey, c.promptKey);
    }
}

TEST_F(DesktopMenu, MissingAgentsAndNonRepositoriesChangeNothing) {
    DesktopApplication& app = launch("{}");
    app.perform(MenuCommand::selectPromptDestination, u"codex"_s);
    EXPECT_EQ(app.config().promptDestination, PromptDestination::focusedApp);
    EXPECT_TRUE(
        logged(u"[Codex CLI not found] Install and sign in to Codex, then choose it again."_s));

    QTemporaryDir plain;
    app.chooseFolder = [&] { return std::optional<QString>(plain.path()); };
    app.perform(MenuCommand::chooseRepository);
    EXPECT_FALSE(app.config().pinnedRepositoryPath);
    EXPECT_TRUE(logged(u"[Not a Git repository] Choose a folder containing a .git directory or "
                       u"worktree marker."_s));

    QTemporaryDir repository;
    QDir(repository.path()).mkpath(u".git"_s);
    QDir(repository.path()).mkpath(u"src/deep"_s);
    app.chooseFolder = [&] { return std::optional<QString>(repository.filePath(u"src/deep"_s)); };
    app.perform(MenuCommand::chooseRepository);
    ASSERT_TRUE(app.config().pinnedRepositoryPath);
    EXPECT_EQ(*app.config().pinnedRepositoryPath, QDir(repository.path()).canonicalPath());
    EXPECT_EQ(savedConfig().value(u"pinnedRepositoryPath"_s).toString(),
              QDir(repository.path()).canonicalPath());
}

TEST_F(DesktopMenu, DeletingRetainedDataAsksFirst) {
    DesktopApplication& app = launch(R"({"retainHistory": true})");
    const QString history = QDir(Paths::root()).filePath(u"history.jsonl"_s);
    writeFile(history, "{}\n");

    app.confirmDeletion = [] { return false; };
    app.perform(MenuCommand::deleteRetainedData);
    EXPECT_EQ(readFile(history), QByteArray("{}\n"));

    app.confirmDeletion = [] { return true; };
    app.perform(MenuCommand::deleteRetainedData);
    EXPECT_EQ(readFile(history), QByteArray());
    EXPECT_TRUE(logged(u"[INFO] Retained text history and audio deleted by the user."_s));
    EXPECT_TRUE(logged(u"[Retained data deleted] History and saved recordings were removed."_s));
}

TEST_F(DesktopMenu, FilesOpenWithTheDesktopsApplications) {
    DesktopApplication& app = launch("{}");
    QList<QUrl> opened;
    app.openUrl = [&](const QUrl& url) { opened.append(url); };
    app.perform(MenuCommand::openConfig);
    app.perform(MenuCommand::openVocabulary);
    app.perform(MenuCommand::openLog);
    app.perform(MenuCommand::openAudio);
    const QDir root(Paths::root());
    EXPECT_EQ(opened, (QList<QUrl>{QUrl::fromLocalFile(root.filePath(u"config.json"_s)),
                                   QUrl::fromLocalFile(root.filePath(u"vocabulary.txt"_s)),
                                   QUrl::fromLocalFile(root.filePath(u"quovant.log"_s)),
                                   QUrl::fromLocalFile(root.filePath(u"audio"_s))}));
    EXPECT_TRUE(QFileInfo(root.filePath(u"vocabulary.txt"_s)).isFile());
    EXPECT_TRUE(QFileInfo(root.filePath(u"audio"_s)).isDir());
}

// The menu with its first submenu open, as the tray shows it, for the documentation.
TEST_F(DesktopMenu, Screenshot) {
    const QString folder = qEnvironmentVariable("QUOVANT_SCREENSHOT_DIR");
    if (folder.isEmpty()) {
        GTEST_SKIP() << "QUOVANT_SCREENSHOT_DIR not set";
    }
    launch(R"({"retainHistory": true})");
    QMenu* menu = m_app->menu();
    QMenu* submenu = nullptr;
    int submenuTop = 0;
    for (QAction* action : menu->actions()) {
        if (action->menu()) {
            submenu = action->menu();
            submenuTop = menu->actionGeometry(action).top();
            break;
        }
    }
    ASSERT_NE(submenu, nullptr);
    // adjustSize() would cap the menu at two thirds of the screen.
    menu->resize(menu->sizeHint());
    submenu->resize(submenu->sizeHint());
    const QPixmap main = menu->grab();
    const QPixmap side = submenu->grab();
    QImage sheet(main.width() + side.width() - 4,
                 std::max(main.height(), submenuTop + side.height()), QImage::Format_ARGB32);
    sheet.fill(Qt::transparent);
    QPainter painter(&sheet);
    painter.drawPixmap(0, 0, main);
    painter.drawPixmap(main.width() - 4, submenuTop, side);
    painter.end();
    QDir().mkpath(folder);
    EXPECT_TRUE(sheet.save(folder + u"/tray-menu.png"_s));
}

} // namespace
