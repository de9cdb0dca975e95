#include "app/verify.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using quovant::Verify::printable;

namespace {

TEST(Printable, ShowsWhatCouldCommandTheTerminalAndKeepsTheRest) {
    const std::pair<QString, QString> cases[] = {
        {u"plain text, Ünïcödé ✓ ─ ⚠︎"_s, u"plain text, Ünïcödé ✓ ─ ⚠︎"_s},
        {u"two\nlines\tand a tab"_s, u"two\nlines\tand a tab"_s},
        {u"\x1b]0;title\x07"_s, u"\\x1b]0;title\\x07"_s},
        {u"\x1b[2J\r\x00\x7f"_s, u"\\x1b[2J\\x0d\\x00\\x7f"_s},
        {u"\u0080\u009b31m\u009f"_s, u"\\u0080\\u009b31m\\u009f"_s},
        {u"a\u202ab\u202ec\u2066d\u2069e"_s, u"a\\u202ab\\u202ec\\u2066d\\u2069e"_s},
        // Neighbours of the escaped ranges are ordinary text.
        {u"\u00a0\u2029\u202f\u2065\u206a"_s, u"\u00a0\u2029\u202f\u2065\u206a"_s},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(printable(text), shown) << shown.toStdString();
    }
}

} // namespace
