#pragma once

// The main of a benchmark that needs a Qt application and must never touch the user's data
// directory: everything it writes goes to a temporary one.

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace quovant::bench {

inline int runInTemporaryHome(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("QUOVANT_HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace quovant::bench
