// Agent hand-off through real tmux to a fake agent that is ready at once: time from the call to
// the Enter, less the fixed settle (the wait for the agent's first screen), and what is left
// behind: specifications not delivered exactly, launcher/marker files, tmux servers.

#include "core/quovant_error.h"
#include "platform/linux/agent/agent_handoff_script_builder.h"
#include "platform/linux/agent/linux_agent_handoff_launcher.h"
#include "repository/repository_context.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>

using namespace quovant;
using namespace Qt::StringLiterals;

namespace {

const QString kSpecification =
    u"## Goal\nAdd a retry to the upload step.\n\n## Context\n- Repository: sync-service\n\n"
    u"## Constraints\n- Keep the 30 s timeout\n\n## Acceptance criteria\n- Retries 3 times\n\n"
    u"## Verification\n- Run `make test`"_s;

void writeExecutable(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    testing::writeFile(path, text);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner);
}

int tmuxServers(const QString& socket) {
    int count = 0;
    for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        const QList<QByteArray> arguments =
            testing::readFile(u"/proc/"_s + pid + u"/cmdline"_s).split('\0');
        if (arguments.size() > 1 && arguments[0].endsWith("tmux") &&
            arguments.contains(QFile::encodeName(socket))) {
            ++count;
        }
    }
    return count;
}

void BM_HandoffToReadyAgent(benchmark::State& state) {
    QTemporaryDir dir;
    const QString home = dir.filePath(u"home"_s);
    const QString repository = dir.filePath(u"repo"_s);
    QDir().mkpath(repository + u"/.git"_s);
    const QString report = dir.filePath(u"report"_s);
    const QByteArray expected =
        "\x1b[200~" + kSpecification.toUtf8().replace('\n', '\r') + "\x1b[201~\r";
    writeExecutable(home + u"/.local/bin/codex"_s,
                    "#!/bin/sh\nstty raw -echo\nprintf '\\033[?2004h> Ready\\r\\n'\nhead -c " +
                        QByteArray::number(expected.size()) + " > " +
                        AgentHandoffScriptBuilder::quote(report).toUtf8() + "\n");
    writeExecutable(dir.filePath(u"bin/terminal"_s), "#!/bin/sh\nexit 0\n");

    LinuxAgentHandoffLauncher::Options options;
    options.homeDirectory = home;
    options.handoffDirectory = dir.filePath(u"handoffs"_s);
    options.environment.insert(u"TERMINAL"_s, dir.filePath(u"bin/terminal"_s));
    LinuxAgentHandoffLauncher launcher(options);
    const auto settle = options.timing.settle;
    RepositoryContext context;
    context.rootPath = repository;
    context.name = u"repo"_s;

    int lost = 0;
    int failures = 0;
    for (auto _ : state) {
        QFile::remove(report);
        QElapsedTimer elapsed;
        elapsed.start();
        try {
            testing::run(launcher.handoff(kSpecification, AgentKind::codex, context));
        } catch (const std::exception&) {
            ++failures;
        }
        const double milliseconds = double(elapsed.nsecsElapsed()) / 1e6 - double(settle.count());
        state.SetIterationTime(milliseconds / 1000.0);
        const QDeadlineTimer deadline(30000);
        while (testing::readFile(report).size() < expected.size() && !deadline.hasExpired()) {
            QThread::msleep(5);
        }
        lost += testing::readFile(report) != expected;
    }
    const QDeadlineTimer deadline(30000);
    while (tmuxServers(launcher.tmuxSocket()) > 0 && !deadline.hasExpired()) {
        QThread::msleep(20);
    }
    state.counters["failures"] = failures;
    state.counters["lost"] = lost;
    state.counters["leftover_files"] =
        QDir(launcher.handoffDirectory())
            .entryList({u"launch-*"_s, u"agent-*"_s}, QDir::AllEntries | QDir::Hidden)
            .size();
    state.counters["leftover_servers"] = tmuxServers(launcher.tmuxSocket());
    QProcess::execute(u"tmux"_s, {u"-S"_s, launcher.tmuxSocket(), u"kill-server"_s});
}
BENCHMARK(BM_HandoffToReadyAgent)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir data;
    qputenv("QUOVANT_HOME", data.path().toUtf8());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
