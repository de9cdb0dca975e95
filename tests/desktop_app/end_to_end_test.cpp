// The real program on a private desktop: start-up, a second instance, control from the session
// bus, and dictations spoken into the sound server that arrive as text in another application.

#include "desktop_app/running_quovant.h"
#include "support/fields_program.h"
#include "support/test_support.h"
#include "support/wait.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace quovant::testing;

namespace {

QStringList words(const QString& text) {
    return text.toLower().split(QRegularExpression(u"[^a-z']+"_s), Qt::SkipEmptyParts);
}

// The log's messages in order, without their times.
QStringList messages(const QString& log) {
    QStringList result;
    for (const QString& line : log.split(u'\n', Qt::SkipEmptyParts)) {
        result.append(line.section(u' ', 1));
    }
    return result;
}

QStringList historyShipped(const QString& home) {
    QStringList shipped;
    const QByteArray history = readFile(QDir(home).filePath(u"history.jsonl"_s));
    for (const QByteArray& line : history.split('\n')) {
        if (!line.isEmpty()) {
            shipped.append(QJsonDocument::fromJson(line).object().value(u"shippedText"_s).toString());
        }
    }
    return shipped;
}

// Plays `speech` with room noise around it and holds `key` from just before the speech begins
// (the recording must show `started`) until all of it has been played.
void speakWhileHolding(RunningQuovant& quovant, const Speech& speech, const QString& key,
                       const QString& started) {
    std::size_t speechStart = 0;
    quovant.speaker().play(withRoomNoise(speech, 1.0, 0.6, &speechStart), speech.rate);
    ASSERT_TRUE(waitUntil(
        [&] {
            return quovant.speaker().samplesWritten() >=
                   std::int64_t(speechStart) - speech.rate / 5;
        },
        60000));
    ASSERT_TRUE(quovant.keyDown(key));
    ASSERT_TRUE(quovant.waitForLog(started, 30000)) << quovant.logText().toStdString();
    ASSERT_TRUE(quovant.speaker().waitUntilPlayed(60000));
    ASSERT_TRUE(quovant.keyUp(key));
}

TEST(EndToEnd, StartsInOrderOnceAndAnswersOnTheBus) {
    RunningQuovant quovant(R"({"playSounds": false})");
    ASSERT_TRUE(quovant.start(u"] Permissions · "_s)) << quovant.failure().toStdString();

    const QStringList log = messages(quovant.logText());
    const QStringList inOrder = {
        u"[INFO] Quovant launched. Initialising…"_s,
        u"[INFO] Preparing models…"_s,
        u"[INFO] Permissions · microphone: granted · keys and typing: granted · accessibility "
        u"bus: "_s,
    };
    qsizetype at = 0;
    for (const QString& expected : inOrder) {
        const auto found = std::find_if(log.begin() + at, log.end(), [&](const QString& line) {
            return line.startsWith(expected);
        });
        ASSERT_NE(found, log.end()) << expected.toStdString() << "\n"
                                    << log.join(u'\n').toStdString();
        at = found - log.begin();
    }

    const ProgramResult second = quovant.control({});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.err.endsWith(u"Quovant is already running. Use its tray icon, or "
                                    u"`quovant toggle` to dictate hands-free.\n"_s))
        << second.err.toStdString();

    const ProgramResult state = quovant.control({u"state"_s});
    EXPECT_EQ(state.exitCode, 0);
    EXPECT_EQ(state.out.toStdString(), "idle\n");

    // Cancelling a hands-free recording leaves nothing behind.
    EXPECT_EQ(quovant.control({u"toggle"_s, u"prompt"_s}).exitCode, 0);
    ASSERT_TRUE(quovant.waitForLog(u"Prompt Mode recording started."_s, 60000))
        << quovant.logText().toStdString();
    EXPECT_EQ(quovant.control({u"state"_s}).out.toStdString(), "recording prompt\n");
    // Another mode cannot start while one records.
    EXPECT_EQ(quovant.control({u"toggle"_s, u"dictation"_s}).exitCode, 1);
    EXPECT_EQ(quovant.control({u"cancel"_s}).exitCode, 0);
    EXPECT_EQ(quovant.control({u"state"_s}).out.toStdString(), "idle\n");

    EXPECT_EQ(quovant.stop(), 0);
}

TEST(EndToEnd, TheTrayIconAppearsWhenThePanelComesLaterWithTheWholeMenu) {
    RunningQuovant quovant(R"({"playSounds": false})");
    ASSERT_TRUE(quovant.start(u"] Permissions · "_s)) << quovant.failure().toStdString();
    EXPECT_TRUE(quovant.logText().contains(
        u"[INFO] Waiting for the desktop's tray to show the status icon."_s));

    // The panel starts after the application, as it may at login.
    LineProcess watcher;
    ASSERT_TRUE(watcher.start(u"/usr/bin/python3"_s,
                              {QStringLiteral(QUOVANT_DESKTOP_TEST_PROGRAMS) +
                               u"/status_notifier_watcher.py"_s}));
    ASSERT_TRUE(watcher.waitForLine([](const QString& l) { return l == u"READY"_s; }, 30000))
        << watcher.errorOutput().toStdString();
    const auto item =
        watcher.waitForLine([](const QString& l) { return l.startsWith(u"ITEM "_s); }, 60000);
    ASSERT_TRUE(item) << quovant.logText().toStdString();

    // The menu the panel shows, read over DBusMenu.
    const ProgramResult layout = runProgram(
        u"gdbus"_s,
        {u"call"_s, u"--session"_s, u"--dest"_s, item->section(u' ', 1, 1), u"--object-path"_s,
         u"/MenuBar"_s, u"--method"_s, u"com.canonical.dbusmenu.GetLayout"_s, u"--"_s, u"0"_s,
         u"-1"_s, u"@as []"_s},
        30000);
    ASSERT_EQ(layout.exitCode, 0) << layout.err.toStdString();
    for (const QString& label :
         {u"Hold Right Alt to dictate"_s, u"Response: no samples yet"_s, u"Push-to-talk key"_s,
          u"Right Super"_s, u"Keep local text history"_s, u"Quit Quovant"_s}) {
        EXPECT_TRUE(layout.out.contains(u"'"_s + label + u"'"_s)) << label.toStdString();
    }
    EXPECT_EQ(quovant.stop(), 0);
}

// The acceptance test: the user holds Right Alt in another application, speaks, lets go; the
// sentence arrives there formatted, the history keeps it, and the user's clipboard comes back.
TEST(EndToEnd, HoldingRightAltDictatesIntoTheFocusedApplication) {
    const QString sentence = u"please send the quarterly report to the finance team"_s;
    const Speech speech = speak(u"slt"_s, sentence);
    ASSERT_FALSE(speech.samples.empty()) << "flite did not run";
    RunningQuovant quovant(
        R"({"retainHistory": true, "playSounds": false, "repositoryContextEnabled": false})",
        speech.rate);
    ASSERT_TRUE(quovant.start()) << quovant.failure().toStdString();
    ASSERT_TRUE(quovant.waitForLog(u"Microphone ready"_s, 60000)) << quovant.logText().toStdString();

    PasteTarget target;
    ASSERT_TRUE(target.start(quovant.environment()));
    const QString users = u"the user's own clipboard"_s;
    ASSERT_TRUE(target.copy(users));

    ASSERT_NO_FATAL_FAILURE(
        speakWhileHolding(quovant, speech, u"Alt_R"_s, u"] Recording started."_s));

    const auto text =
        target.waitForText(u"line"_s, [](const QString& t) { return !t.isEmpty(); }, 60000);
    ASSERT_TRUE(text) << quovant.logText().toStdString();
    EXPECT_LE(wordErrors(words(sentence), words(*text)), 3) << text->toStdString();
    EXPECT_TRUE(text->front().isUpper()) << text->toStdString();
    EXPECT_TRUE(text->endsWith(u'.')) << text->toStdString();

    EXPECT_TRUE(waitUntil([&] { return historyShipped(quovant.home()).contains(*text); }, 30000))
        << historyShipped(quovant.home()).join(u'|').toStdString();
    EXPECT_TRUE(waitUntil([&] { return target.read() == users; }, 30000));

    // Hands-free, as a desktop shortcut would do it: the next sentence follows the first.
    const QString second = u"please call the finance team after lunch"_s;
    const Speech more = speak(u"slt"_s, second);
    std::size_t secondStart = 0;
    const std::int64_t before = quovant.speaker().samplesWritten();
    quovant.speaker().play(withRoomNoise(more, 1.0, 0.6, &secondStart), more.rate);
    ASSERT_TRUE(waitUntil(
        [&] {
            return quovant.speaker().samplesWritten() - before >=
                   std::int64_t(secondStart) - more.rate / 5;
        },
        60000));
    EXPECT_EQ(quovant.control({u"toggle"_s}).exitCode, 0);
    ASSERT_TRUE(quovant.speaker().waitUntilPlayed(60000));
    EXPECT_EQ(quovant.control({u"toggle"_s}).exitCode, 0);
    const auto both = target.waitForText(
        u"line"_s, [&](const QString& t) { return t.size() > text->size(); }, 60000);
    ASSERT_TRUE(both) << quovant.logText().toStdString();
    EXPECT_TRUE(both->startsWith(*text)) << both->toStdString();
    EXPECT_LE(wordErrors(words(second), words(both->mid(text->size()))), 3)
        << both->toStdString();

    EXPECT_EQ(quovant.stop(), 0);
}

// Edit in Place: text selected in a GTK application, the command spoken while Right Super is
// held, and the selection replaced by the built-in formatter's correction.
TEST(EndToEnd, HoldingRightSuperCorrectsTheSelectionInAGtkApplication) {
    const Speech command = speak(u"slt"_s, u"fix the grammar"_s);
    ASSERT_FALSE(command.samples.empty()) << "flite did not run";
    RunningQuovant quovant(R"({"playSounds": false, "repositoryContextEnabled": false})",
                           command.rate);
    ASSERT_TRUE(quovant.start()) << quovant.failure().toStdString();
    ASSERT_TRUE(quovant.waitForLog(u"Microphone ready"_s, 60000)) << quovant.logText().toStdString();

    FieldsProgram program(quovant.environment(), u"Quovant edit"_s);
    ASSERT_TRUE(program.ready());
    const QString original = u"hey can you send me the report by friday"_s;
    ASSERT_TRUE(program.focus(u"entry"_s));
    ASSERT_TRUE(program.setText(u"entry"_s, original));
    ASSERT_TRUE(program.select(u"entry"_s, 0, int(original.size())));

    // The accessibility bus tells Quovant about the focus a moment later; a press before that
    // finds no selection and is refused with a notice, so the key is pressed again.
    bool recording = false;
    for (int attempt = 0; attempt < 10 && !recording; ++attempt) {
        ASSERT_TRUE(quovant.keyDown(u"Super_R"_s));
        recording = quovant.waitForLog(u"] Edit command recording started."_s, 3000);
        if (!recording) {
            ASSERT_TRUE(quovant.keyUp(u"Super_R"_s));
        }
    }
    ASSERT_TRUE(recording) << quovant.logText().toStdString();
    quovant.speaker().play(withRoomNoise(command, 0.3, 0.6), command.rate);
    ASSERT_TRUE(quovant.speaker().waitUntilPlayed(60000));
    ASSERT_TRUE(quovant.keyUp(u"Super_R"_s));

    std::optional<QString> edited;
    EXPECT_TRUE(waitUntil(
        [&] {
            edited = program.text(u"entry"_s);
            return edited && *edited != original;
        },
        60000))
        << quovant.logText().toStdString();
    ASSERT_TRUE(edited);
    EXPECT_EQ(words(*edited), words(original)) << edited->toStdString();
    EXPECT_TRUE(edited->front().isUpper()) << edited->toStdString();
    EXPECT_TRUE(edited->endsWith(u'?') || edited->endsWith(u'.')) << edited->toStdString();
    EXPECT_EQ(quovant.stop(), 0);
}

// Prompt Mode: a spoken request, held on Right Ctrl, becomes a task specification that is
// handed to a coding agent running in tmux (a fake `codex` that records what it is given).
TEST(EndToEnd, HoldingRightCtrlHandsATaskToTheCodingAgent) {
    const Speech request =
        speak(u"slt"_s, u"add a retry to the upload function and write a test for it"_s);
    ASSERT_FALSE(request.samples.empty()) << "flite did not run";
    QTemporaryDir work;
    const QString repository = work.filePath(u"uploader"_s);
    ASSERT_TRUE(QDir().mkpath(repository + u"/.git"_s));
    writeFile(repository + u"/upload.py"_s, "def upload(path):\n    pass\n");
    const QString received = work.filePath(u"received"_s);
    const QString terminalLog = work.filePath(u"terminal.log"_s);

    RunningQuovant quovant(QJsonDocument(QJsonObject{
                                             {u"playSounds"_s, false},
                                             {u"promptDestination"_s, u"codex"_s},
                                             {u"pinnedRepositoryPath"_s, repository},
                                         })
                               .toJson(),
                           request.rate);
    // The agent draws its prompt, asks for bracketed paste and keeps what it is given; the
    // terminal only notes how it was asked to attach.
    const QString agent = quovant.userHome() + u"/.local/bin/codex"_s;
    writeExecutable(agent, "#!/bin/sh\nstty raw -echo\nprintf '\\033[?2004h> Ready for a task\\r\\n'\n"
                     "cat > '" + received.toUtf8() + "'\n");
    const QString terminal = work.filePath(u"terminal"_s);
    writeExecutable(terminal, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + terminalLog.toUtf8() + "'\n");
    quovant.setEnvironment(u"TERMINAL"_s, terminal);
    ASSERT_TRUE(quovant.start()) << quovant.failure().toStdString();
    ASSERT_TRUE(quovant.waitForLog(u"Microphone ready"_s, 60000)) << quovant.logText().toStdString();

    ASSERT_NO_FATAL_FAILURE(
        speakWhileHolding(quovant, request, u"Control_R"_s, u"] Prompt Mode recording started."_s));

    // The specification arrives as one bracketed paste with its five sections.
    EXPECT_TRUE(waitUntil([&] { return readFile(received).contains("\x1b[201~"); }, 90000))
        << quovant.logText().toStdString();
    const QString given = QString::fromUtf8(readFile(received));
    for (const QString& section :
         {u"Goal"_s, u"Context"_s, u"Constraints"_s, u"Acceptance"_s, u"Verification"_s}) {
        EXPECT_TRUE(given.contains(section)) << section.toStdString() << "\n" << given.toStdString();
    }
    EXPECT_TRUE(given.contains(u"upload"_s, Qt::CaseInsensitive)) << given.toStdString();
    EXPECT_TRUE(readFile(terminalLog).contains("tmux")) << readFile(terminalLog).toStdString();
    EXPECT_EQ(quovant.stop(), 0);

    // The agent's tmux server ends with the test.
    const QString socket = QDir(quovant.home()).filePath(u"handoffs/tmux.sock"_s);
    runProgram(u"tmux"_s, {u"-S"_s, socket, u"kill-server"_s}, 10000);
}

} // namespace
