#include "app/desktop/command_line.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using quovant::CommandLine;
using quovant::PipelineMode;

namespace {

TEST(CommandLine, ArgumentsChooseWhatTheProgramDoes) {
    using K = CommandLine::Kind;
    using V = CommandLine::Verb;
    struct Case {
        QStringList arguments;
        K kind;
        V verb = V::press;
        PipelineMode mode = PipelineMode::dictation;
    };
    const Case cases[] = {
        {{}, K::desktop},
        {{u"--help"_s}, K::help},
        {{u"-h"_s}, K::help},
        {{u"help"_s}, K::help},
        {{u"help"_s, u"toggle"_s}, K::help},
        {{u"toggle"_s, u"--help"_s}, K::help},
        {{u"--version"_s}, K::version},
        {{u"-V"_s}, K::version},
        {{u"transcribe"_s, u"a.wav"_s}, K::transcribe},
        {{u"press"_s}, K::control, V::press, PipelineMode::dictation},
        {{u"release"_s, u"edit"_s}, K::control, V::release, PipelineMode::editSelection},
        {{u"toggle"_s, u"prompt"_s}, K::control, V::toggle, PipelineMode::developerPrompt},
        {{u"cancel"_s}, K::control, V::cancel},
        {{u"state"_s}, K::control, V::state},
        // Mistakes: the usage goes to standard error.
        {{u"transcribe"_s}, K::usageError},
        {{u"Transcribe"_s, u"a.wav"_s}, K::usageError},
        {{u"--verbose"_s}, K::usageError},
        {{u"dictate"_s}, K::usageError},
        {{u"toggle"_s, u"shout"_s}, K::usageError},
        {{u"toggle"_s, u"edit"_s, u"prompt"_s}, K::usageError},
        {{u"state"_s, u"dictation"_s}, K::usageError},
        {{u"--version"_s, u"x"_s}, K::usageError},
        {{u"help"_s, u"frobnicate"_s}, K::usageError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(u' ').toStdString());
        const CommandLine line = CommandLine::parse(c.arguments);
        EXPECT_EQ(line.kind, c.kind);
        if (c.kind == K::control) {
            EXPECT_EQ(line.verb, c.verb);
            EXPECT_EQ(line.mode, c.mode);
        }
    }
}

TEST(CommandLine, TranscribeKeepsItsArgumentRules) {
    const CommandLine plain = CommandLine::parse({u"transcribe"_s, u"a.wav"_s});
    EXPECT_EQ(plain.wavPath, u"a.wav"_s);
    EXPECT_EQ(plain.locale, u"en-US"_s);
    const CommandLine more =
        CommandLine::parse({u"transcribe"_s, u"a.wav"_s, u"en-GB"_s, u"ignored"_s});
    EXPECT_EQ(more.kind, CommandLine::Kind::transcribe);
    EXPECT_EQ(more.locale, u"en-GB"_s);
}

struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
};

ProgramRun runProgram(const QStringList& arguments) {
    QTemporaryDir home;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QUOVANT_HOME"_s, home.path());
    // Control commands must find no instance: a bus address that leads nowhere.
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + home.filePath(u"none"_s));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QUOVANT_BINARY), arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

TEST(CommandLine, TheProgramAnswersHelpVersionAndMistakesOnTheRightStream) {
    const ProgramRun help = runProgram({u"--help"_s});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith(u"usage: quovant [COMMAND]\n"_s));
    for (const QString& command :
         {u"transcribe"_s, u"press"_s, u"release"_s, u"toggle"_s, u"cancel"_s, u"state"_s}) {
        EXPECT_TRUE(help.out.contains(u"\n  "_s + command + u' ')) << command.toStdString();
    }
    EXPECT_EQ(help.err, QString());

    const ProgramRun version = runProgram({u"--version"_s});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, u"Quovant v" QUOVANT_TEST_VERSION "\n"_s);

    const ProgramRun topic = runProgram({u"help"_s, u"toggle"_s});
    EXPECT_EQ(topic.exitCode, 0);
    EXPECT_TRUE(topic.out.startsWith(u"usage: quovant toggle [dictation|edit|prompt]\n"_s));

    const ProgramRun unknown = runProgram({u"--frobnicate"_s});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.out, QString());
    EXPECT_TRUE(unknown.err.startsWith(u"quovant: unknown option '--frobnicate'\nusage: quovant"_s));

    const ProgramRun nobody = runProgram({u"toggle"_s});
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_TRUE(nobody.err.contains(u"the running Quovant cannot be reached"_s) ||
                nobody.err.contains(u"Quovant is not running"_s))
        << nobody.err.toStdString();
}

} // namespace
