#include "core/unicode_text.h"
#include "formatting/developer_prompt_anchors.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace Qt::StringLiterals;
using quovant::DeveloperPromptAnchors;
using quovant::unicode::Regex;

namespace {

// The anchors as a plain search over every position finds them, to check that the extractor's
// quicker search (which skips positions where no match can begin) finds exactly the same.
QSet<QString> referenceAnchors(const QString& text) {
    static const QStringList kPatterns = {
        u"https?://[^\\s<>()]+"_s,
        u"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}"_s,
        u"(?:\\./)?(?:[A-Za-z0-9_.-]+/)+[A-Za-z0-9_.-]+"_s,
        u"\\b[A-Za-z0-9_-]+\\.(?:swift|json|jsonl|md|sh|py|ts|tsx|js|jsx|rs|go|toml|yaml|yml|sql|"
        "html|css|plist|dmg|wav)\\b"_s,
        u"(?<![A-Za-z0-9_])--?[A-Za-z][A-Za-z0-9-]*"_s,
        u"\\b[A-Za-z][A-Za-z0-9]*_[A-Za-z0-9_]+\\b"_s,
        u"\\b(?:[a-z]+[A-Z][A-Za-z0-9]*|[A-Z][A-Za-z0-9]+[A-Z][A-Za-z0-9]*)\\b"_s,
        u"\\b\\p{Lu}\\p{Ll}{2,}\\b"_s,
        u"\\b[A-Z]{2,}[A-Za-z0-9_]*\\b"_s,
        u"\\b[A-Za-z][A-Za-z0-9]*<[^>\\n]+>"_s,
        u"\\b\\d+(?:\\.\\d+)+(?:[-+][A-Za-z0-9.-]+)?\\b"_s,
        u"\\b\\d+(?::\\d+)?\\b"_s,
    };
    QSet<QString> anchors;
    for (const QString& pattern : kPatterns) {
        for (const auto& match : Regex(pattern).allMatches(text)) {
            QString anchor = match.groups.front();
            while (!anchor.isEmpty() && u".,!?;:"_s.contains(anchor.front())) {
                anchor.remove(0, 1);
            }
            while (!anchor.isEmpty() && u".,!?;:"_s.contains(anchor.back())) {
                anchor.chop(1);
            }
            if (!anchor.isEmpty()) {
                anchors.insert(quovant::unicode::foldCaseAndDiacritics(anchor));
            }
        }
    }
    return anchors;
}

TEST(DeveloperPromptAnchors, QuickSearchFindsWhatAFullSearchFinds) {
    std::vector<QString> texts = {
        u"a@b.cc1@d.ee"_s,
        u"mail ops@example.org, dev@x.io and x@y"_s,
        u"edit ./src/app.py or x./y/z and ../a/b/ then -x.md and a-b.json"_s,
        u"xhttp://a.b/c https://x.dev/a?b=1 re-run --dry-run -v_x"_s,
        u"fetchUser getHTTPClient HTTPServer2 Array<Map<K, V>> v1.2.3-rc.1+build.5 10:30:15"_s,
        u"éFoo Ωmega_x 😀Bar x\u0301Foo ٣٤.٥ 𝟙𝟚 a\u200dBc Łukasz Zoë 𐐀𐐨𐐨 ǅungla"_s,
        QString(2000, u'a') + u"/"_s,
        QString(2000, u'A') + u"@b"_s,
    };
    const QString alphabet = u"aZb1_.-/@%+ :<>\nhttps:éٍ3XxÉŁ"_s;
    std::mt19937 random(11);
    for (int n = 0; n < 4000; ++n) {
        QString text;
        const int length = int(random() % 48);
        for (int i = 0; i < length; ++i) {
            text += alphabet[qsizetype(random() % alphabet.size())];
        }
        texts.push_back(text);
    }
    for (const QString& text : texts) {
        ASSERT_EQ(DeveloperPromptAnchors::extract(text, {}), referenceAnchors(text))
            << text.toStdString();
    }
}

} // namespace
