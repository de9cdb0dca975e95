#pragma once

#include "core/pipeline_mode.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// What the program was asked to do by its arguments. Pure.
struct CommandLine {
    enum class Kind { desktop, transcribe, control, help, version, usageError };
    enum class Verb { press, release, toggle, cancel, state };

    Kind kind = Kind::desktop;
    // transcribe
    QString wavPath;
    QString locale;
    // control
    Verb verb = Verb::press;
    PipelineMode mode = PipelineMode::dictation;
    // help: the text to print on standard output; usageError: on standard error.
    QString text;

    // `arguments` without the program name.
    static CommandLine parse(const QStringList& arguments);

    static QString usage();
    static QString verbName(Verb verb);
    // "dictation", "edit", "prompt".
    static QString modeName(PipelineMode mode);
    static std::optional<PipelineMode> parseMode(const QString& name);
};

} // namespace quovant
