// Key-up to text in another application through the real program: 20 spoken sentences of three to
// five seconds, the embedded recogniser and the built-in formatter, Right Alt pressed and released
// through XTest, the text read back from the X11 test program. Also the pipeline's own share
// (recognition, formatting and injection as the history records them).

#include "bench/percentile.h"
#include "desktop_app/running_quovant.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <benchmark/benchmark.h>

#include <algorithm>

// Xlib's macros clash with Qt's names, so it comes last.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using namespace Qt::StringLiterals;
using namespace quovant::testing;
using quovant::bench::percentile;

namespace {

const QStringList kSentences = {
    u"please send the quarterly report to the finance team by friday"_s,
    u"the new design looks much cleaner than the old one"_s,
    u"we should move the weekly meeting to tuesday morning"_s,
    u"remember to buy milk and bread on the way home"_s,
    u"the server was restarted after the update last night"_s,
    u"can you review my changes before the end of the day"_s,
    u"our customers asked for a simpler way to export their data"_s,
    u"the train to the airport leaves every twenty minutes"_s,
    u"i will call you back as soon as the build is finished"_s,
    u"the garden needs water because it has not rained for weeks"_s,
    u"please add the new hire to the project mailing list"_s,
    u"the test results show a small improvement in speed"_s,
    u"we are going to the mountains for the long weekend"_s,
    u"the printer on the second floor is out of paper again"_s,
    u"let us keep the introduction short and friendly"_s,
    u"the library closes early on sundays during the summer"_s,
    u"thank you for the detailed notes from the workshop"_s,
    u"the kitchen renovation should be done by next month"_s,
    u"send me the slides when you have a minute"_s,
    u"the weather forecast says it will be sunny tomorrow"_s,
};

qint64 lastResponseMs(const QString& home) {
    const QList<QByteArray> lines =
        readFile(QDir(home).filePath(u"history.jsonl"_s)).trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last()).object().value(u"responseMS"_s).toInteger(-1);
}

void KeyUpToTextInField(benchmark::State& state) {
    std::vector<Speech> speech;
    for (const QString& sentence : kSentences) {
        speech.push_back(speak(u"slt"_s, sentence));
        if (speech.back().samples.empty()) {
            state.SkipWithError("flite did not run");
            return;
        }
    }
    RunningQuovant quovant(
        R"({"retainHistory": true, "playSounds": false, "repositoryContextEnabled": false})",
        speech.front().rate);
    if (!quovant.start() || !quovant.waitForLog(u"Microphone ready"_s, 60000)) {
        state.SkipWithError(quovant.failure().toUtf8().constData());
        return;
    }
    PasteTarget target;
    if (!target.start(quovant.environment())) {
        state.SkipWithError("the paste target did not start");
        return;
    }
    Display* display = XOpenDisplay(nullptr);
    const KeyCode rightAlt = XKeysymToKeycode(display, XStringToKeysym("Alt_R"));

    std::vector<double> keyUpToText;
    std::vector<double> pipelineShare;
    std::size_t next = 0;
    for (auto _ : state) {
        const Speech& utterance = speech[next++ % speech.size()];
        target.clear();
        std::size_t speechStart = 0;
        const std::int64_t before = quovant.speaker().samplesWritten();
        quovant.speaker().play(withRoomNoise(utterance, 0.8, 0.5, &speechStart), utterance.rate);
        while (quovant.speaker().samplesWritten() - before <
               std::int64_t(speechStart) - utterance.rate / 5) {
            QThread::msleep(5);
        }
        XTestFakeKeyEvent(display, rightAlt, True, CurrentTime);
        XFlush(display);
        quovant.speaker().waitUntilPlayed(60000);
        XTestFakeKeyEvent(display, rightAlt, False, CurrentTime);
        XFlush(display);
        QElapsedTimer clock;
        clock.start();
        const auto text =
            target.waitForText(u"line"_s, [](const QString& t) { return !t.isEmpty(); }, 60000);
        const double elapsed = double(clock.nsecsElapsed()) / 1e9;
        if (!text) {
            state.SkipWithError("no text arrived");
            break;
        }
        state.SetIterationTime(elapsed);
        keyUpToText.push_back(elapsed * 1000.0);
        // The history line is written just after delivery.
        QThread::msleep(300);
        pipelineShare.push_back(double(lastResponseMs(quovant.home())));
    }
    XCloseDisplay(display);
    if (!keyUpToText.empty()) {
        state.counters["p50_ms"] = percentile(keyUpToText, 0.50);
        state.counters["p95_ms"] = percentile(keyUpToText, 0.95);
        state.counters["pipeline_p50_ms"] = percentile(pipelineShare, 0.50);
        state.counters["pipeline_p95_ms"] = percentile(pipelineShare, 0.95);
    }
}
BENCHMARK(KeyUpToTextInField)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
