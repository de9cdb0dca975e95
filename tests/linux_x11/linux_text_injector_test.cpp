#include "linux_x11/x11_fixture.h"

#include "core/quovant_error.h"
#include "platform/linux/x11/clipboard_owner.h"
#include "platform/linux/x11/linux_clipboard.h"
#include "platform/linux/x11/linux_text_injector.h"

#include <QFile>
#include <QRandomGenerator>

using namespace quovant;
using namespace quovant::testing;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = char(generator.bounded(256));
    }
    return bytes;
}

QString longText(int characters) {
    QString text;
    for (int i = 0; text.size() < characters; ++i) {
        text += QStringLiteral("word%1 ").arg(i % 97);
    }
    return text.left(characters);
}

class LinuxTextInjectorTest : public X11Suite {
protected:
    // Waits until the injector has put the user's clipboard back (or left a newer copy alone).
    bool waitForRestore() {
        auto owner = ClipboardOwner::shared();
        return owner && waitUntil([&] { return !owner->hasPendingRestore(); }, 20000);
    }
};

TEST_F(LinuxTextInjectorTest, TextArrivesExactlyInTheFocusedField) {
    const std::vector<std::tuple<const char*, QByteArray, QString>> cases{
        {"plain", "line", QStringLiteral("Hello there, world.")},
        {"emoji, CJK and right-to-left",
         "line",
         QStringLiteral("Ship it 🚀👍🏽 — 你好世界 — שלום עולם — مرحبا 𝄞")},
        {"ten thousand characters with line breaks", "text",
         longText(9000) + QStringLiteral("\nsecond line\n") + longText(987)},
    };
    for (const auto& [name, field, text] : cases) {
        PasteTarget target({QStringLiteral("--focus"), QString::fromUtf8(field)});
        ASSERT_TRUE(target.ready()) << target.errors().toStdString();
        LinuxTextInjector injector;
        injector.inject(text);
        EXPECT_TRUE(target.waitForText(field, text)) << name;
        EXPECT_EQ(target.pasteKeystrokes(), 1) << name;
        EXPECT_TRUE(waitForRestore()) << name;
    }
}

TEST_F(LinuxTextInjectorTest, EmptyTextDoesNothing) {
    PasteTarget target;
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.copy({{"text/plain", "users own words"}}));
    XClient client;
    const unsigned long owner = client.clipboardOwner();
    LinuxTextInjector injector;
    injector.inject(QString());
    settle(500);
    EXPECT_EQ(client.clipboardOwner(), owner);
    EXPECT_EQ(target.pasteKeystrokes(), 0);
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QByteArray("users own words"));
}

TEST_F(LinuxTextInjectorTest, PasswordFieldIsRefusedAndTheClipboardUntouched) {
    PasteTarget target({QStringLiteral("--focus"), QStringLiteral("password")});
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.copy({{"text/plain", "users own words"}}));
    XClient client;
    const unsigned long owner = client.clipboardOwner();
    int asked = 0;
    LinuxTextInjector injector([&asked]() -> std::optional<bool> {
        ++asked;
        return true;
    });
    try {
        injector.inject(QStringLiteral("secret words"));
        FAIL() << "the password field was typed into";
    } catch (const QuovantError& error) {
        EXPECT_EQ(error.kind(), QuovantError::Kind::secureTextSelected);
    }
    EXPECT_EQ(asked, 1);
    settle(300);
    EXPECT_EQ(client.clipboardOwner(), owner);
    EXPECT_EQ(target.pasteKeystrokes(), 0);
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QByteArray("users own words"));

    // Unknown (no accessibility answer) allows typing.
    LinuxTextInjector unknown([]() -> std::optional<bool> { return std::nullopt; });
    unknown.inject(QStringLiteral("typed"));
    EXPECT_TRUE(target.waitForText("password", QStringLiteral("typed")));
    EXPECT_TRUE(waitForRestore());
}

TEST_F(LinuxTextInjectorTest, UsersClipboardComesBackByteForByteInEveryTarget) {
    PasteTarget target;
    ASSERT_TRUE(target.ready());
    // A megabyte image travels in INCR pieces both ways.
    const QByteArray png = randomBytes(1 << 20, 7);
    const QByteArray html = QByteArray("<b>bold</b> and <i>\xC3\xA9l\xC3\xA9gant</i>");
    const QByteArray binary = randomBytes(4000, 11);
    ASSERT_TRUE(target.copy({{"image/png", png},
                             {"text/html", html},
                             {"application/x-quovant-test", binary}}));
    LinuxTextInjector injector;
    injector.inject(QStringLiteral("dictated"));
    ASSERT_TRUE(target.waitForText("line", QStringLiteral("dictated")));
    ASSERT_TRUE(waitForRestore());
    EXPECT_EQ(readClipboardTarget("image/png"), png);
    EXPECT_EQ(readClipboardTarget("text/html"), html);
    EXPECT_EQ(readClipboardTarget("application/x-quovant-test"), binary);
}

TEST_F(LinuxTextInjectorTest, ACopyRightAfterTheInjectionSurvives) {
    PasteTarget target;
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.copy({{"text/plain", "before"}}));
    LinuxTextInjector injector;
    injector.inject(QStringLiteral("dictated"));
    ASSERT_TRUE(target.waitForText("line", QStringLiteral("dictated")));
    // The user copies before the restore is due.
    ASSERT_TRUE(target.copy({{"text/plain", "copied by the user"}}));
    ASSERT_TRUE(waitForRestore());
    settle(500);
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QByteArray("copied by the user"));
}

TEST_F(LinuxTextInjectorTest, RestoreWaitsForTheTargetToFetch) {
    for (const auto& [name, arguments, delivered] :
         {std::tuple{"a target that pastes 1.5 s late still gets our text",
                     QStringList{QStringLiteral("--paste-delay-ms"), QStringLiteral("1500")},
                     true},
          std::tuple{"a target that never fetches gets the old clipboard back at the deadline",
                     QStringList{QStringLiteral("--ignore-paste")}, false}}) {
        PasteTarget target(arguments);
        ASSERT_TRUE(target.ready());
        ASSERT_TRUE(target.copy({{"text/plain", "before"}}));
        LinuxTextInjector injector;
        injector.inject(QStringLiteral("dictated"));
        if (delivered) {
            EXPECT_TRUE(target.waitForText("line", QStringLiteral("dictated"))) << name;
        }
        ASSERT_TRUE(waitForRestore()) << name;
        EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QByteArray("before")) << name;
        EXPECT_EQ(target.lastText("line"), delivered ? QStringLiteral("dictated") : QString())
            << name;
    }
}

TEST_F(LinuxTextInjectorTest, AClipboardManagerTakingOverOurTextIsNotAUserCopy) {
    PasteTarget target({QStringLiteral("--ignore-paste")});
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.copy({{"text/plain", "before"}}));
    LinuxTextInjector injector;
    injector.inject(QStringLiteral("dictated"));
    // Another client takes the clipboard over with our very text before the restore is due.
    const auto manager = copyWithXclip("UTF8_STRING", "dictated");
    ASSERT_TRUE(manager && manager->started());
    ASSERT_TRUE(waitForRestore());
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QByteArray("before"));
}

TEST_F(LinuxTextInjectorTest, TwoInjectionsInARowBringBackTheUsersClipboard) {
    PasteTarget target;
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.copy({{"text/plain", "users own words"}}));
    LinuxTextInjector injector;
    injector.inject(QStringLiteral("one "));
    injector.inject(QStringLiteral("two"));
    ASSERT_TRUE(target.waitForText("line", QStringLiteral("one two")));
    ASSERT_TRUE(waitForRestore());
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QByteArray("users own words"));
}

TEST_F(LinuxTextInjectorTest, AnEmptyClipboardIsEmptyAgainAfterwards) {
    PasteTarget target;
    ASSERT_TRUE(target.ready());
    XClient client;
    client.clearClipboard();
    ASSERT_EQ(client.clipboardOwner(), 0UL);
    LinuxTextInjector injector;
    injector.inject(QStringLiteral("dictated"));
    ASSERT_TRUE(target.waitForText("line", QStringLiteral("dictated")));
    ASSERT_TRUE(waitForRestore());
    EXPECT_EQ(client.clipboardOwner(), 0UL)
        << "ours: " << (client.findWindowNamed("com.quovant.clipboard").value_or(0))
        << ", serving: " << readClipboardTarget("UTF8_STRING").value_or("none").toStdString();
}

TEST_F(LinuxTextInjectorTest, TerminalsGetCtrlShiftV) {
    const QString output = QString::fromUtf8(qgetenv("QUOVANT_HOME")) + QStringLiteral("/typed");
    PeerProcess xterm(
        QStringLiteral("xterm"),
        {QStringLiteral("-xrm"),
         QStringLiteral("XTerm*VT100.translations: #override Ctrl Shift <Key>V: "
                        "insert-selection(CLIPBOARD)"),
         QStringLiteral("-e"), QStringLiteral("sh"), QStringLiteral("-c"),
         QStringLiteral("echo ready > '%1.ready'; read line; printf %s \"$line\" > '%1'")
             .arg(output)});
    ASSERT_TRUE(xterm.started());
    XClient client;
    std::optional<unsigned long> window;
    ASSERT_TRUE(waitUntil([&] {
        window = client.findWindowNamed("sh");
        return window && QFile::exists(output + QStringLiteral(".ready"));
    }));
    client.setInputFocus(*window);
    LinuxTextInjector injector;
    injector.inject(QStringLiteral("echo 🚀 ok"));
    ASSERT_TRUE(waitForRestore());
    client.tap(36); // Return
    ASSERT_TRUE(waitUntil([&] { return QFile(output).size() > 0; }));
    QFile typed(output);
    ASSERT_TRUE(typed.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(typed.readAll()), QStringLiteral("echo 🚀 ok"));
}

TEST_F(LinuxTextInjectorTest, UndeliveredTextStaysOnTheClipboard) {
    LinuxClipboard clipboard;
    clipboard.setPlainText(QStringLiteral("kept for you ✓"));
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), QStringLiteral("kept for you ✓").toUtf8());
    EXPECT_EQ(readClipboardTarget("text/plain;charset=utf-8"),
              QStringLiteral("kept for you ✓").toUtf8());
    // Not Latin-1: no STRING form that would lose the check mark.
    EXPECT_EQ(readClipboardTarget("STRING"), std::nullopt);
    const auto targets = readClipboardTarget("TARGETS");
    ASSERT_TRUE(targets);
    EXPECT_FALSE(targets->contains("x-kde-passwordManagerHint"));
}

TEST_F(LinuxTextInjectorTest, UndeliveredTextOutlivesTheProcessWhenAClipboardManagerRuns) {
    ClipboardManagerPeer manager;
    ASSERT_TRUE(manager.running());
    const QString text = QStringLiteral("kept after exit ✓");
    {
        LinuxClipboard clipboard;
        clipboard.setPlainText(text);
        // The clipboard owner ends with its last user, as it does when Quovant quits.
    }
    EXPECT_EQ(manager.saved().value("UTF8_STRING"), text.toUtf8());
    EXPECT_EQ(readClipboardTarget("UTF8_STRING"), text.toUtf8());
}

TEST(LinuxTextInjectorTerminalTest, RecognisesTerminalEmulatorsByWindowClass) {
    for (const auto& [instance, className, terminal] :
         {std::tuple{"xterm", "XTerm", true}, std::tuple{"urxvt", "URxvt", true},
          std::tuple{"gnome-terminal-server", "Gnome-terminal", true},
          std::tuple{"konsole", "konsole", true}, std::tuple{"kitty", "kitty", true},
          std::tuple{"Alacritty", "Alacritty", true},
          std::tuple{"xfce4-terminal", "Xfce4-terminal", true},
          std::tuple{"org.wezfurlong.wezterm", "org.wezfurlong.wezterm", true},
          std::tuple{"foot", "foot", true}, std::tuple{"tilix", "Tilix", true},
          std::tuple{"gedit", "Gedit", false}, std::tuple{"navigator", "firefox", false},
          std::tuple{"code", "Code", false}, std::tuple{"", "", false}}) {
        EXPECT_EQ(LinuxTextInjector::isTerminal(QString::fromUtf8(instance),
                                                QString::fromUtf8(className)),
                  terminal)
            << instance;
    }
}

} // namespace
