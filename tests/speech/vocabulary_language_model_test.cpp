#include "speech/pronunciations.h"
#include "speech/vocabulary_language_model.h"

#include <QMap>
#include <gtest/gtest.h>

#include <cmath>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

TEST(Pronunciations, MapsEspeakMnemonicsToModelPhones) {
    const struct {
        QString mnemonics;
        QString phones;
    } cases[] = {
        {u"k j 'u: b E k t @L"_s, u"K Y UW B EH K T AH L"_s},
        {u"p r 'I j @"_s, u"P R IH Y AH"_s},
        {u",E k s ,E m 'E l  p 'A@ s 3"_s, u"EH K S EH M EH L P AA R S ER"_s},
        {u"dZ 'aI n; t#"_s, u"JH AY N T"_s},
        {u"'a ? t"_s, u"AE T"_s}, // the glottal stop is no phone
        {u"'a Q t"_s, u""_s},     // an unknown mnemonic gives nothing rather than a guess
        {u""_s, u""_s},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Pronunciations::fromEspeak(c.mnemonics), c.phones) << c.mnemonics.toStdString();
}

TEST(Pronunciations, SpellsLettersAndDigits) {
    EXPECT_EQ(Pronunciations::spelled(u"Ctl"), u"S IY T IY EH L"_s);
    EXPECT_EQ(Pronunciations::spelled(u"w3"), u"D AH B AH L Y UW TH R IY"_s);
    EXPECT_EQ(Pronunciations::spelled(u"né"), u""_s);
    EXPECT_EQ(Pronunciations::spelled(u"a-b"), u""_s);
}

TEST(Pronunciations, GuessesWithEspeakOneAnswerPerWord) {
    // "e.g." reads as two clauses, which must not shift the answers of the words after it.
    const QStringList answers =
        Pronunciations::guess({u"kubectl"_s, u"e.g."_s, u"Grafana"_s}, std::chrono::seconds(20));
    ASSERT_EQ(answers.size(), 3);
    EXPECT_TRUE(answers[0].startsWith(u"K Y UW B"_s)) << answers[0].toStdString();
    EXPECT_TRUE(answers[2].startsWith(u"G R"_s)) << answers[2].toStdString();
    EXPECT_EQ(Pronunciations::guess({}, std::chrono::seconds(1)), QStringList());
}

const QMap<QString, QString> kDictionary = {
    {u"speech"_s, u"S P IY CH"_s}, {u"analyzer"_s, u"AE N AH L AY Z ER"_s},
    {u"kube"_s, u"K Y UW B"_s},    {u"raman"_s, u"R AA M AH N"_s},
    {u"the"_s, u"DH AH"_s},        {u"four"_s, u"F AO R"_s},
    {u"two"_s, u"T UW"_s},         {u"state"_s, u"S T EY T"_s},
    {u"use"_s, u"Y UW Z"_s},
};

VocabularyLanguageModel buildWith(const QStringList& terms, int* guesses = nullptr) {
    return VocabularyLanguageModel::build(
        terms, [](const QString& word) { return kDictionary.value(word); },
        [guesses](const QStringList& words) {
            if (guesses)
                ++*guesses;
            QStringList answers;
            for (const QString& word : words)
                answers.append(word.compare(u"Priya"_s, Qt::CaseInsensitive) == 0
                                   ? u"P R IY Y AH"_s
                                   : QString());
            return answers;
        });
}

TEST(VocabularyLanguageModel, GivesNewWordsTheirPronunciationsAndTermsTheirPhrases) {
    int guesses = 0;
    const auto model = buildWith({u"SpeechAnalyzer"_s, u"Speech Analyzer"_s, u"kubectl"_s,
                                  u"Priya Raman"_s, u"42"_s, u"(<>)"_s, u"Xqzzyvwplorbunt"_s,
                                  u"useState"_s, u"use State"_s},
                                 &guesses);
    EXPECT_EQ(guesses, 1) << "the guesser runs once per build";
    // The spoken form of an identifier would compete with the identifier itself; a word nothing
    // can pronounce takes no phrase.
    EXPECT_EQ(model.phrases, (QStringList{u"speechanalyzer"_s, u"kubectl"_s, u"priya raman"_s,
                                          u"four two"_s, u"usestate"_s}));
    const std::vector<VocabularyLanguageModel::Word> expected = {
        {u"speechanalyzer"_s, {u"S P IY CH AE N AH L AY Z ER"_s}},
        {u"kubectl"_s,
         {u"K Y UW B S IY T IY EH L"_s, u"K EY Y UW B IY IY S IY T IY EH L"_s}},
        {u"priya"_s, {u"P R IY Y AH"_s, u"P IY AA R AY W AY EY"_s}},
        {u"usestate"_s,
         {u"Y UW Z S T EY T"_s, u"Y UW EH S IY EH S T IY EY T IY IY"_s}},
    };
    EXPECT_EQ(model.newWords, expected);
    EXPECT_TRUE(buildWith({}).isEmpty());
    EXPECT_TRUE(buildWith({u"  "_s, u"!!"_s}).arpa.isEmpty());
}

// Every history's probabilities, seen bigrams plus the backed-off unigrams, add up to one.
TEST(VocabularyLanguageModel, ArpaModelIsADistribution) {
    const QByteArray arpa =
        VocabularyLanguageModel::arpaOf({u"kubectl"_s, u"priya raman"_s, u"the kubectl"_s});
    QMap<QString, double> unigram;
    QMap<QString, double> backoff;
    QMap<QString, QMap<QString, double>> bigram;
    int section = 0;
    for (const QByteArray& line : arpa.split('\n')) {
        if (line.startsWith("\\1-grams"))
            section = 1;
        else if (line.startsWith("\\2-grams"))
            section = 2;
        const QList<QByteArray> f = line.split(' ');
        if (section == 1 && f.size() >= 2 && !line.startsWith('\\')) {
            unigram[QString::fromUtf8(f[1])] = std::pow(10.0, f[0].toDouble());
            if (f.size() == 3)
                backoff[QString::fromUtf8(f[1])] = std::pow(10.0, f[2].toDouble());
        } else if (section == 2 && f.size() == 3) {
            bigram[QString::fromUtf8(f[1])][QString::fromUtf8(f[2])] =
                std::pow(10.0, f[0].toDouble());
        }
    }
    ASSERT_TRUE(arpa.startsWith("\\data\\\nngram 1=")) << arpa.constData();
    ASSERT_TRUE(arpa.endsWith("\\end\\\n"));
    double total = 0;
    for (const double p : unigram)
        total += p;
    EXPECT_NEAR(total, 1.0, 1e-4);
    ASSERT_FALSE(bigram.isEmpty());
    // A carrier raises the term after it, never itself; the sentence end follows a term only.
    EXPECT_LT(unigram.value(u"with"_s), 1e-50);
    EXPECT_LT(unigram.value(u"</s>"_s), 1e-50);
    EXPECT_GT(bigram[u"kubectl"_s].value(u"</s>"_s), 0.1);
    EXPECT_GT(bigram[u"with"_s].value(u"kubectl"_s), 0.1);
    for (auto history = bigram.cbegin(); history != bigram.cend(); ++history) {
        double sum = 0;
        for (auto word = unigram.cbegin(); word != unigram.cend(); ++word)
            sum += history->contains(word.key()) ? history->value(word.key())
                                                 : backoff.value(history.key()) * word.value();
        EXPECT_NEAR(sum, 1.0, 1e-4) << history.key().toStdString();
    }
}

} // namespace
} // namespace quovant
