#pragma once
// Sentences the recogniser benchmarks speak with synthetic voices. Ordinary dictation, none of
// them taken from the test suites; the voices are the four flite voices and two espeak-ng ones.

#include "speech/wav_decoder.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <vector>

namespace quovant::bench {

using namespace Qt::StringLiterals;

inline const QStringList& sentences() {
    static const QStringList list = {
        u"i will send you the updated schedule later this afternoon"_s,
        u"the new office is on the second floor next to the kitchen"_s,
        u"please remember to water the plants while i am away"_s,
        u"we should leave early to avoid the traffic on the highway"_s,
        u"the doctor said that i need to rest for a few days"_s,
        u"can we move our call to thursday at ten in the morning"_s,
        u"my sister is coming to visit us next weekend"_s,
        u"the store closes at nine so we have plenty of time"_s,
        u"i have attached the slides from yesterday's presentation"_s,
        u"the project is almost finished but we still need to test it"_s,
        u"thank you for sending the documents so quickly"_s,
        u"the price of coffee has gone up again this year"_s,
        u"she works as a teacher at the local high school"_s,
        u"we are planning a small party for his birthday"_s,
        u"the bus was late so i missed the first part of the lecture"_s,
        u"could you please review my changes before lunch"_s,
        u"the garden looks beautiful after all the rain"_s,
        u"i need to buy a new pair of shoes for the wedding"_s,
        u"the server went down last night and nobody noticed"_s,
        u"let us meet at the cafe across the street"_s,
        u"he has been learning to play the piano for two years"_s,
        u"the report shows that sales increased in every region"_s,
        u"our flight was delayed by almost three hours"_s,
        u"please call me back when you get this message"_s,
        u"the kids are excited about the trip to the zoo"_s,
        u"i forgot to bring my laptop charger to the office"_s,
        u"the library has a great collection of old maps"_s,
        u"we need more volunteers for the event on saturday"_s,
        u"the soup needs a little more salt and pepper"_s,
        u"they decided to sell the house and move to the city"_s,
        u"the meeting notes are in the shared folder"_s,
        u"it is going to be cold and windy tomorrow"_s,
        u"he fixed the broken window in the living room"_s,
        u"i would rather take the train than drive"_s,
        u"the team celebrated the launch with a nice dinner"_s,
        u"please make sure the door is locked when you leave"_s,
        u"the museum is free for students on wednesdays"_s,
        u"we ran out of paper for the printer again"_s,
        u"my phone battery dies very quickly these days"_s,
        u"the results of the survey will be published next month"_s,
        u"she wrote a long letter to her grandmother"_s,
        u"the new version fixes several problems with the login page"_s,
    };
    return list;
}

// Dictation full of a developer's vocabulary: identifiers, product names, people's names. The
// references are written as the recogniser writes a vocabulary word: lower case, in one piece.
inline const QStringList& developerSentences() {
    static const QStringList list = {
        u"ask priya to review the terraform changes"_s,
        u"restart nginx on the staging server"_s,
        u"run kubectl apply before the deploy"_s,
        u"the grafana dashboard shows high latency"_s,
        u"siobhan fixed the postgres migration"_s,
        u"we moved the cache from redis to memcached"_s,
        u"open the speechanalyzer class and add a test"_s,
        u"call usestate inside the component"_s,
        u"send the logs to oleksandr before lunch"_s,
        u"the jenkins job failed again last night"_s,
        u"tell nguyen that the webpack build is slow"_s,
        u"update the dockerfile and push the image"_s,
        u"the kafka consumer lost its offset"_s,
        u"ask aoife about the figma mockups"_s,
        u"the recognitioncontextbuilder needs a new test"_s,
        u"install numpy and pandas in the virtual environment"_s,
        u"deploy the new version with ansible tomorrow"_s,
        u"rahul wrote the graphql schema"_s,
        u"check the sentry alerts for the checkout service"_s,
        u"the pytest suite takes ten minutes"_s,
    };
    return list;
}

// The speaker's vocabulary for those sentences, as a user would keep it, with a few terms that
// none of them uses.
inline const QStringList& developerVocabulary() {
    static const QStringList list = {
        u"Priya"_s,     u"Terraform"_s, u"nginx"_s,     u"kubectl"_s,   u"Grafana"_s,
        u"Siobhan"_s,   u"Postgres"_s,  u"Redis"_s,     u"memcached"_s, u"SpeechAnalyzer"_s,
        u"useState"_s,  u"Oleksandr"_s, u"Jenkins"_s,   u"Nguyen"_s,    u"webpack"_s,
        u"Dockerfile"_s, u"Kafka"_s,    u"Aoife"_s,     u"Figma"_s,     u"RecognitionContextBuilder"_s,
        u"NumPy"_s,     u"pandas"_s,    u"Ansible"_s,   u"Rahul"_s,     u"GraphQL"_s,
        u"Sentry"_s,    u"pytest"_s,    u"Kubernetes"_s, u"Okonkwo"_s,  u"Svelte"_s,
        u"Tailwind"_s,  u"Bartholomew"_s, u"Xcode"_s,   u"Zustand"_s,
    };
    return list;
}

struct Voice {
    QString program; // "flite" or "espeak-ng"
    QString name;
};

// All six, or those named in $QUOVANT_BENCH_VOICES (e.g. "slt,awb").
inline const std::vector<Voice>& voices() {
    static const std::vector<Voice> list = [] {
        const std::vector<Voice> all = {
        {u"flite"_s, u"slt"_s},      {u"flite"_s, u"awb"_s},
        {u"flite"_s, u"rms"_s},      {u"flite"_s, u"kal16"_s},
        {u"espeak-ng"_s, u"en-us"_s}, {u"espeak-ng"_s, u"en-gb"_s},
        };
        const QStringList chosen =
            qEnvironmentVariable("QUOVANT_BENCH_VOICES").split(u',', Qt::SkipEmptyParts);
        std::vector<Voice> result;
        for (const Voice& voice : all)
            if (chosen.isEmpty() || chosen.contains(voice.name))
                result.push_back(voice);
        return result;
    }();
    return list;
}

// Multi-sentence dictations; sentence ends are where the reference has its marks.
inline const QStringList& paragraphs() {
    static const QStringList list = {
        u"I called the plumber this morning. He will come on Tuesday. Can you be at home to let him in?"_s,
        u"What time does the concert start? I want to get there early. Parking is always difficult near the hall."_s,
        u"The first draft is ready. Please read it before the meeting. Tell me if anything is missing."_s,
        u"We tried the new restaurant last night. The food was excellent. The service was a bit slow. Would you like to go there next week?"_s,
        u"Do you know where the spare keys are? I looked in the drawer. They were not there."_s,
        u"The tests are failing on the main branch. I think the last merge broke them. Could you take a look today?"_s,
        u"Thanks for your help yesterday. The move went smoothly. We finally have internet in the new flat."_s,
        u"Is the report finished? The client asked about it again. They need it by Friday."_s,
    };
    return list;
}

struct Recording {
    std::vector<float> samples;
    double sampleRate = 0;
};

// Speaks `text` with `voice` into memory; empty samples when the synthesiser did not run.
inline Recording speak(const Voice& voice, const QString& text) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(u"speech.wav"_s);
    QFile::remove(path);
    const QStringList arguments = voice.program == u"flite"_s
                                      ? QStringList{u"-voice"_s, voice.name, u"-t"_s, text,
                                                    u"-o"_s, path}
                                      : QStringList{u"-v"_s, voice.name, u"-w"_s, path, text};
    QProcess::execute(voice.program, arguments);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    try {
        const WavDecoder::Decoded decoded = WavDecoder::decode(file.readAll());
        return {decoded.samples, decoded.sampleRate};
    } catch (...) {
        return {};
    }
}

// Reference words: lower case, marks removed.
inline QStringList referenceWords(const QString& text) {
    QString plain;
    for (const QChar c : text.toLower())
        plain += (c.isLetterOrNumber() || c == u'\'' || c.isSpace()) ? c : u' ';
    return plain.split(u' ', Qt::SkipEmptyParts);
}

inline int wordErrors(const QStringList& reference, const QStringList& hypothesis) {
    std::vector<int> row(std::size_t(hypothesis.size()) + 1);
    for (std::size_t j = 0; j < row.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const int above = row[std::size_t(j)];
            row[std::size_t(j)] = std::min({above + 1, row[std::size_t(j - 1)] + 1,
                                            diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

} // namespace quovant::bench
