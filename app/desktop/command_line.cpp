#include "app/desktop/command_line.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QString kTranscribeUsage = u"usage: quovant transcribe <wav> [locale]\n"_s;

// Each command's own help, as `quovant help COMMAND` prints it.
const QHash<QString, QString>& commandHelp() {
    static const QHash<QString, QString> help = {
        {u"transcribe"_s,
         kTranscribeUsage +
             u"\nRuns one WAV recording through recognition, formatting and the transcript guard\n"
             u"with the engines of your settings and prints the texts, the guard's verdict and\n"
             u"the timings. The locale (default en-US) replaces the configured one. Exit status\n"
             u"0 when the pipeline ran, 1 when the recording or an engine failed.\n"_s},
        {u"press"_s,
         u"usage: quovant press [dictation|edit|prompt]\n"
         u"\nStarts recording in the running Quovant, as holding the mode's key does.\n"_s},
        {u"release"_s,
         u"usage: quovant release [dictation|edit|prompt]\n"
         u"\nFinishes the recording that `press` started, as releasing the key does.\n"_s},
        {u"toggle"_s,
         u"usage: quovant toggle [dictation|edit|prompt]\n"
         u"\nHands-free: starts a recording, or finishes the one in progress. The recording\n"
         u"limit of the settings still applies. Bind it to a desktop shortcut where global\n"
         u"keys cannot be watched (Wayland).\n"_s},
        {u"cancel"_s,
         u"usage: quovant cancel\n"
         u"\nAbandons the recording or processing in progress; nothing is typed.\n"_s},
        {u"state"_s,
         u"usage: quovant state\n"
         u"\nPrints what the running Quovant is doing: idle, recording, thinking or error,\n"
         u"with the mode.\n"_s},
        {u"help"_s,
         u"usage: quovant help [COMMAND]\n\nPrints the usage, or the help of one command.\n"_s},
    };
    return help;
}

CommandLine usageError(const QString& message, const QString& usage = CommandLine::usage()) {
    CommandLine line;
    line.kind = CommandLine::Kind::usageError;
    line.text = (message.isEmpty() ? QString() : u"quovant: "_s + message + u'\n') + usage;
    return line;
}

CommandLine help(const QString& text) {
    CommandLine line;
    line.kind = CommandLine::Kind::help;
    line.text = text;
    return line;
}

std::optional<CommandLine::Verb> parseVerb(const QString& word) {
    static const QHash<QString, CommandLine::Verb> verbs = {
        {u"press"_s, CommandLine::Verb::press},   {u"release"_s, CommandLine::Verb::release},
        {u"toggle"_s, CommandLine::Verb::toggle}, {u"cancel"_s, CommandLine::Verb::cancel},
        {u"state"_s, CommandLine::Verb::state},
    };
    const auto found = verbs.constFind(word);
    return found == verbs.constEnd() ? std::nullopt : std::optional(*found);
}

} // namespace

QString CommandLine::usage() {
    return u"usage: quovant [COMMAND]\n"
           u"\n"
           u"Without a command, starts the Quovant desktop application: a tray icon, and\n"
           u"push-to-talk keys (hold Right Alt to dictate, Right Super to edit the selected\n"
           u"text, Right Ctrl for Prompt Mode).\n"
           u"\n"
           u"Commands:\n"
           u"  transcribe <wav> [locale]  run one recording through recognition, formatting\n"
           u"                             and the guard, and print the report\n"
           u"  press [MODE]               start recording in the running Quovant\n"
           u"  release [MODE]             finish that recording\n"
           u"  toggle [MODE]              start a recording, or finish the one in progress\n"
           u"  cancel                     abandon the recording or processing in progress\n"
           u"  state                      print what the running Quovant is doing\n"
           u"  help [COMMAND]             print this usage, or the help of one command\n"
           u"\n"
           u"MODE is dictation (the default), edit or prompt.\n"
           u"\n"
           u"Options:\n"
           u"  -h, --help                 print this usage\n"
           u"  -V, --version              print the version\n"_s;
}

QString CommandLine::verbName(Verb verb) {
    switch (verb) {
    case Verb::press:
        return u"press"_s;
    case Verb::release:
        return u"release"_s;
    case Verb::toggle:
        return u"toggle"_s;
    case Verb::cancel:
        return u"cancel"_s;
    case Verb::state:
        return u"state"_s;
    }
    return {};
}

QString CommandLine::modeName(PipelineMode mode) {
    switch (mode) {
    case PipelineMode::dictation:
        return u"dictation"_s;
    case PipelineMode::editSelection:
        return u"edit"_s;
    case PipelineMode::developerPrompt:
        return u"prompt"_s;
    }
    return {};
}

std::optional<PipelineMode> CommandLine::parseMode(const QString& name) {
    for (const PipelineMode mode :
         {PipelineMode::dictation, PipelineMode::editSelection, PipelineMode::developerPrompt}) {
        if (modeName(mode) == name) {
            return mode;
        }
    }
    return std::nullopt;
}

CommandLine CommandLine::parse(const QStringList& arguments) {
    if (arguments.isEmpty()) {
        return {};
    }
    const QString& first = arguments.first();
    if (first == u"--help"_s || first == u"-h"_s) {
        return arguments.size() == 1 ? help(usage())
                                     : usageError(u"--help takes no arguments"_s);
    }
    if (first == u"--version"_s || first == u"-V"_s) {
        if (arguments.size() > 1) {
            return usageError(u"--version takes no arguments"_s);
        }
        CommandLine line;
        line.kind = Kind::version;
        return line;
    }
    if (first == u"help"_s) {
        if (arguments.size() == 1) {
            return help(usage());
        }
        const auto topic = commandHelp().constFind(arguments.at(1));
        if (arguments.size() > 2 || topic == commandHelp().constEnd()) {
            return usageError(u"no help for '"_s + arguments.mid(1).join(u' ') + u"'"_s);
        }
        return help(*topic);
    }
    // `<command> --help` asks for the command's help rather than running it.
    if (arguments.size() == 2 && (arguments.at(1) == u"--help"_s || arguments.at(1) == u"-h"_s) &&
        commandHelp().contains(first)) {
        return help(commandHelp().value(first));
    }
    if (first == u"transcribe"_s) {
        // Arguments after the locale are ignored, as they always were.
        if (arguments.size() < 2) {
            return usageError({}, kTranscribeUsage);
        }
        CommandLine line;
        line.kind = Kind::transcribe;
        line.wavPath = arguments.at(1);
        line.locale = arguments.size() >= 3 ? arguments.at(2) : u"en-US"_s;
        return line;
    }
    if (const auto verb = parseVerb(first)) {
        const bool takesMode = *verb != Verb::cancel && *verb != Verb::state;
        const QString verbHelp = commandHelp().value(first);
        if (arguments.size() > (takesMode ? 2 : 1)) {
            return usageError(u"too many arguments for '"_s + first + u"'"_s, verbHelp);
        }
        CommandLine line;
        line.kind = Kind::control;
        line.verb = *verb;
        if (arguments.size() == 2) {
            const auto mode = parseMode(arguments.at(1));
            if (!mode) {
                return usageError(u"unknown mode '"_s + arguments.at(1) +
                                      u"': use dictation, edit or prompt"_s,
                                  verbHelp);
            }
            line.mode = *mode;
        }
        return line;
    }
    return usageError(first.startsWith(u'-') ? u"unknown option '"_s + first + u"'"_s
                                             : u"unknown command '"_s + first + u"'"_s);
}

} // namespace quovant
