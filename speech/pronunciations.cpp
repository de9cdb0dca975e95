#include "speech/pronunciations.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace quovant::Pronunciations {

namespace {

// espeak-ng's English mnemonics (American and British voices) and the nearest model phones.
// An empty value is a mark that is not a sound of its own (glottal stop, pauses).
const QHash<QString, QString>& espeakPhones() {
    static const QHash<QString, QString> table = {
        // Vowels.
        {u"a"_s, u"AE"_s},      {u"aa"_s, u"AE"_s},     {u"a#"_s, u"AH"_s},
        {u"A:"_s, u"AA"_s},     {u"A@"_s, u"AA R"_s},   {u"A~"_s, u"AA"_s},
        {u"0"_s, u"AA"_s},      {u"@"_s, u"AH"_s},      {u"@L"_s, u"AH L"_s},
        {u"@2"_s, u"AH"_s},     {u"@5"_s, u"AH"_s},     {u"@-"_s, u"AH"_s},
        {u"3"_s, u"ER"_s},      {u"3:"_s, u"ER"_s},     {u"V"_s, u"AH"_s},
        {u"E"_s, u"EH"_s},      {u"e@"_s, u"EH R"_s},   {u"eI"_s, u"EY"_s},
        {u"i"_s, u"IY"_s},      {u"i:"_s, u"IY"_s},     {u"I"_s, u"IH"_s},
        {u"I#"_s, u"IH"_s},     {u"I2"_s, u"IH"_s},     {u"i@"_s, u"IH R"_s},
        {u"i@3"_s, u"IH R"_s},  {u"O"_s, u"AO"_s},      {u"O:"_s, u"AO"_s},
        {u"O2"_s, u"AO"_s},     {u"O~"_s, u"AO"_s},     {u"O@"_s, u"AO R"_s},
        {u"o@"_s, u"AO R"_s},   {u"OI"_s, u"OY"_s},     {u"oU"_s, u"OW"_s},
        {u"o"_s, u"OW"_s},      {u"U"_s, u"UH"_s},      {u"u:"_s, u"UW"_s},
        {u"U@"_s, u"UH R"_s},   {u"aI"_s, u"AY"_s},     {u"aI@"_s, u"AY ER"_s},
        {u"aI3"_s, u"AY ER"_s}, {u"aU"_s, u"AW"_s},     {u"aU@"_s, u"AW ER"_s},
        {u"e"_s, u"EH"_s},
        // Consonants.
        {u"p"_s, u"P"_s},       {u"b"_s, u"B"_s},       {u"t"_s, u"T"_s},
        {u"d"_s, u"D"_s},       {u"k"_s, u"K"_s},       {u"g"_s, u"G"_s},
        {u"f"_s, u"F"_s},       {u"v"_s, u"V"_s},       {u"s"_s, u"S"_s},
        {u"z"_s, u"Z"_s},       {u"h"_s, u"HH"_s},      {u"m"_s, u"M"_s},
        {u"n"_s, u"N"_s},       {u"l"_s, u"L"_s},       {u"r"_s, u"R"_s},
        {u"w"_s, u"W"_s},       {u"j"_s, u"Y"_s},       {u"T"_s, u"TH"_s},
        {u"D"_s, u"DH"_s},      {u"S"_s, u"SH"_s},      {u"Z"_s, u"ZH"_s},
        {u"N"_s, u"NG"_s},      {u"tS"_s, u"CH"_s},     {u"dZ"_s, u"JH"_s},
        {u"t#"_s, u"T"_s},      {u"t2"_s, u"T"_s},      {u"d#"_s, u"D"_s},
        {u"x"_s, u"K"_s},       {u"n-"_s, u"N"_s},      {u"l-"_s, u"L"_s},
        {u"m-"_s, u"M"_s},      {u"r-"_s, u"R"_s},      {u"l#"_s, u"L"_s},
        {u"w#"_s, u"W"_s},      {u"z#"_s, u"Z"_s},      {u"?"_s, QString()},
        {u"_:"_s, QString()},   {u"_"_s, QString()},    {u"_!"_s, QString()},
    };
    return table;
}

const char* const kLetters[] = {
    "EY",  "B IY", "S IY", "D IY", "IY",  "EH F", "JH IY", "EY CH",      "AY",
    "JH EY", "K EY", "EH L", "EH M", "EH N", "OW", "P IY", "K Y UW",     "AA R",
    "EH S", "T IY", "Y UW", "V IY", "D AH B AH L Y UW",  "EH K S", "W AY", "Z IY"};
const char* const kDigits[] = {"Z IH R OW", "W AH N", "T UW",  "TH R IY", "F AO R",
                               "F AY V",    "S IH K S", "S EH V AH N", "EY T", "N AY N"};

// One espeak-ng run over `words`, one clause each; nothing when it did not give one line per word.
QStringList runEspeak(const QStringList& words, QDeadlineTimer deadline) {
    QProcess process;
    process.start(u"espeak-ng"_s, {u"-q"_s, u"-x"_s, u"--sep= "_s, u"-v"_s, u"en-us"_s,
                                   u"--stdin"_s});
    if (!process.waitForStarted(int(std::max<qint64>(deadline.remainingTime(), 1))))
        return {};
    QByteArray input;
    for (const QString& word : words)
        input += word.toUtf8() + ".\n";
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 1)))) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    QStringList lines = QString::fromUtf8(process.readAllStandardOutput())
                            .split(u'\n', Qt::SkipEmptyParts);
    for (QString& line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    if (lines.size() != words.size())
        return {};
    return lines;
}

} // namespace

QString fromEspeak(QStringView mnemonics) {
    QStringList phones;
    for (QStringView token : mnemonics.split(u' ', Qt::SkipEmptyParts)) {
        // Stress and syllable marks lead a phoneme; ";" marks palatalisation.
        while (!token.isEmpty() && QStringView(u"',%=").contains(token.front()))
            token = token.mid(1);
        QString symbol = token.toString();
        symbol.remove(u';');
        if (symbol.isEmpty())
            continue;
        const auto found = espeakPhones().constFind(symbol);
        if (found == espeakPhones().cend())
            return {};
        if (!found->isEmpty())
            phones.append(*found);
    }
    return phones.join(u' ');
}

QStringList guess(const QStringList& words, std::chrono::milliseconds timeout) {
    QStringList result(words.size());
    if (words.isEmpty())
        return result;
    const QDeadlineTimer deadline(timeout.count());
    QStringList lines = runEspeak(words, deadline);
    // A word that reads as two sentences ("e.g.") misaligns the batch: ask one by one instead.
    for (qsizetype i = 0; lines.isEmpty() && i < words.size() && !deadline.hasExpired(); ++i) {
        const QStringList one = runEspeak({words[i]}, deadline);
        if (!one.isEmpty())
            result[i] = fromEspeak(one.front());
    }
    for (qsizetype i = 0; i < lines.size(); ++i)
        result[i] = fromEspeak(lines[i]);
    return result;
}

QString spelled(QStringView word) {
    QStringList phones;
    for (const QChar c : word) {
        const char16_t u = c.toLower().unicode();
        if (u >= u'a' && u <= u'z')
            phones.append(QString::fromLatin1(kLetters[u - u'a']));
        else if (u >= u'0' && u <= u'9')
            phones.append(QString::fromLatin1(kDigits[u - u'0']));
        else
            return {};
    }
    return phones.join(u' ');
}

} // namespace quovant::Pronunciations
