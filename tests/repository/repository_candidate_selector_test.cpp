#include "repository/git_repository_fixture.h"
#include "repository/repository_candidate_selector.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::ScratchFolder;

class RepositoryCandidateSelectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const QString& repository : {u"a"_s, u"a/sub"_s, u"b"_s}) {
            QDir().mkpath(folder.path(repository + u"/.git"_s));
        }
        QDir().mkpath(folder.path(u"a/src/deep"_s));
        QDir().mkpath(folder.path(u"plain"_s));
    }

    QString a() const { return folder.path(u"a"_s); }
    QString sub() const { return folder.path(u"a/sub"_s); }
    QString b() const { return folder.path(u"b"_s); }

    ScratchFolder folder;
};

TEST_F(RepositoryCandidateSelectorTest, RanksAgentsHelpersDepthAndSpecificity) {
    const qint32 front = 100;
    struct Case {
        const char* name;
        QList<ProcessWorkingDirectory> processes;
        std::optional<QString> expected;
    };
    const QList<Case> cases = {
        {"an agent in B beats a deeper shell in A",
         {{200, front, u"-zsh"_s, a()},
          {300, 200, u"/bin/bash"_s, a()},
          {400, 300, u"/usr/bin/sleep 1"_s, a()},
          {201, front, u"node /opt/bin/Claude --resume"_s, b()}},
         b()},
        {"agent named after a blank",
         {{200, front, u"-zsh"_s, a()}, {300, 200, u"npx codex"_s, b()}},
         b()},
        {"cursor-agent", {{200, front, u"cursor-agent"_s, b()}, {300, 200, u"sh"_s, a()}}, b()},
        {"an editor helper beats depth",
         {{200, front, u"Code Helper (Renderer)"_s, b()},
          {300, 200, u"sh"_s, a()},
          {400, 300, u"sh"_s, a()}},
         b()},
        {"deeper wins without bonuses",
         {{200, front, u"sh"_s, b()}, {300, 200, u"sh"_s, a()}},
         a()},
        {"more path components win at equal depth",
         {{201, front, u"sh"_s, sub()}, {200, front, u"sh"_s, a()}},
         sub()},
        {"a working directory below the root counts the root",
         {{200, front, u"sh"_s, folder.path(u"a/src/deep"_s)}, {201, front, u"sh"_s, b()}},
         b()},
        {"equal scores: the higher identifier",
         {{300, front, u"sh"_s, a()}, {200, front, u"sh"_s, b()}},
         a()},
        {"equal scores, listed the other way",
         {{200, front, u"sh"_s, a()}, {300, front, u"sh"_s, b()}},
         b()},
        {"a chain that does not reach the front is no candidate",
         {{200, 999, u"claude"_s, b()}, {300, front, u"sh"_s, a()}},
         a()},
        {"a parent loop is no candidate",
         {{200, 300, u"/x/claude"_s, b()}, {300, 200, u"/x/claude"_s, b()}},
         std::nullopt},
        {"the front process itself at depth zero", {{front, 1, u"terminal"_s, a()}}, a()},
        {"folders outside any repository",
         {{200, front, u"/x/claude"_s, folder.path(u"plain"_s)}, {201, front, u"sh"_s, u"/"_s}},
         std::nullopt},
        {"a process listed twice keeps its first parent",
         {{200, front, u"sh"_s, a()}, {200, 999, u"sh"_s, a()}, {300, 200, u"/x/codex"_s, b()}},
         b()},
        {"nothing", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RepositoryCandidateSelector::select(front, c.processes), c.expected) << c.name;
    }
}

} // namespace
} // namespace quovant
