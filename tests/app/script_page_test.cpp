#include <algorithm>
#include <string>

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/form_fixture.h"

namespace tavrel {
namespace {

using test::FormFixture;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class ScriptPage : public ::testing::Test {
protected:
    ScriptPage() { fixture.MarkLog(); }
    void SetScript(const QString& text) { fixture.Memo("mmosc")->setPlainText(text); }
    void SetBytes(const QString& text) { fixture.Memo("mmoscbytes")->setPlainText(text); }
    FormFixture fixture{FormFixture::Marker::File};
};

TEST_F(ScriptPage, CompilesTheInitialScript) {
    fixture.Click("Button1");
    EXPECT_THAT(fixture.Lines("mmoscbytes"),
                ElementsAre("E1 08 01 ", "60 2E E0 ", "20 1E 00 ", "60 2E E0 ", "20 51 00 ", "60 2E E0 ",
                            "20 28 00 ", "60 2E E0 ", "A0 02 00 "));
    EXPECT_THAT(fixture.NewLogTexts(), ElementsAre("goto", "翻译完毕，共8行脚本"));
    EXPECT_THAT(fixture.Lines("mmosc").front(), "注释：设备自动控制") << "the script box is left as it was";
}

TEST_F(ScriptPage, CompileSettingsAndEdgeCases) {
    struct Case {
        QString script;
        bool autoRun;
        QString version;
        std::vector<std::string> firstBytes;
        std::vector<std::string> log;
    };
    const QString many = QString("按键：a\n").repeated(50);
    const std::vector<Case> cases = {
        {"", true, "1", {"E1 00 01 "}, {"翻译完毕，共0行脚本"}},
        {"按键：A", false, "1", {"E0 01 01 ", "20 04 00 "}, {"翻译完毕，共1行脚本"}},
        {"KEYBOARD:A\nMOUSE:单击",
         true,
         "300",
         {"E1 02 2C ", "20 04 00 ", "41 00 00 "},
         {"翻译完毕，共2行脚本"}},
        {"按键：A", true, "abc", {"E1 01 00 ", "20 04 00 "}, {"翻译完毕，共1行脚本", "请填入数字版本号"}},
        {"按键：A", true, "", {"E1 01 00 ", "20 04 00 "}, {"翻译完毕，共1行脚本", "请填入数字版本号"}},
        {many, true, "1", {"E1 2A 01 ", "20 04 00 "}, {"超过存储空间！", "翻译完毕，共42行脚本"}},
    };
    for (const Case& c : cases) {
        SetScript(c.script);
        fixture.Find<QCheckBox>("chkAutoRun")->setChecked(c.autoRun);
        fixture.Find<QLineEdit>("edtVer")->setText(c.version);
        fixture.MarkLog();
        fixture.Click("Button1");
        const auto bytes = fixture.Lines("mmoscbytes");
        ASSERT_GE(bytes.size(), c.firstBytes.size()) << c.script.toStdString();
        EXPECT_THAT(std::vector(bytes.begin(), bytes.begin() + static_cast<long>(c.firstBytes.size())),
                    ElementsAreArray(c.firstBytes))
            << c.script.toStdString();
        EXPECT_THAT(fixture.NewLogTexts(), ElementsAreArray(c.log)) << c.script.toStdString();
    }
    EXPECT_EQ(fixture.Lines("mmoscbytes").size(), 43u) << "the last case: version record and 42 records";
}

TEST_F(ScriptPage, ListsTheByteText) {
    SetBytes("E1 08 01 \ne1-08\n\n20 04 00 05\n25:4c:00\n  \nc0 01 02\n60 2E E0");
    fixture.Click("btnparsesc");
    EXPECT_THAT(fixture.NewLogTexts(),
                ElementsAre("脚本不正确：e1-08", "脚本不正确：20 04 00 05", "第1行:E1 08 01", "版本", "8",
                            "1", "第2行:25 4C 00", "键盘", "CTRL+", "ALT+", "HID:4C", "第3行:C0 01 02",
                            "未知脚本指令C0 01 02", "第4行:60 2E E0", "延时", "12000"));
    EXPECT_EQ(fixture.Lines("mmoscbytes").size(), 8u) << "the listing changes neither text box";
}

TEST_F(ScriptPage, CompiledTextListsBack) {
    fixture.Click("Button1");
    fixture.MarkLog();
    fixture.Click("btnparsesc");
    const auto log = fixture.NewLogTexts();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "第1行:E1 08 01");
    EXPECT_EQ(log.back(), "2");
}

TEST_F(ScriptPage, EmptyByteTextListsNothing) {
    fixture.Click("btnparsesc");
    EXPECT_TRUE(fixture.NewLogTexts().empty());
}

TEST_F(ScriptPage, ExampleButtonWritesTheExamplesToTheLog) {
    fixture.Click("btnDemo");
    EXPECT_THAT(fixture.NewLogTexts(), ElementsAre("", "键盘: a", "键盘: b延时1秒", "键盘: ctrl+shift+del",
                                                   "键盘: hid04", "鼠标: 单击", "鼠标: 右击", "鼠标: 中击",
                                                   "延迟: 1秒", "跳转: 2行", "注释: 脚本说明", ""));
    EXPECT_EQ(fixture.Lines("mmosc").size(), 9u) << "nothing is put into the script box";
}

TEST_F(ScriptPage, DoubleClickingEitherTextBoxClearsTheScriptBox) {
    fixture.Click("Button1");
    QTest::mouseDClick(fixture.Memo("mmoscbytes")->viewport(), Qt::LeftButton);
    EXPECT_TRUE(fixture.Memo("mmosc")->toPlainText().isEmpty());
    EXPECT_EQ(fixture.Lines("mmoscbytes").size(), 9u) << "the byte text box keeps its text";

    SetScript("按键：A");
    QTest::mouseDClick(fixture.Memo("mmosc")->viewport(), Qt::LeftButton);
    EXPECT_TRUE(fixture.Memo("mmosc")->toPlainText().isEmpty());
}

TEST_F(ScriptPage, DoubleClickingTheLogBoxEmptiesItAndLoggingStartsAgainAtTheTop) {
    QTest::mouseDClick(fixture.Memo("Memo1")->viewport(), Qt::LeftButton);
    EXPECT_TRUE(fixture.Memo("Memo1")->toPlainText().isEmpty());
    fixture.Click("Button1");
    EXPECT_THAT(fixture.LogTexts(), ElementsAre("goto", "翻译完毕，共8行脚本"));
}

// Each line of a many-line entry counts; the oldest lines leave from the top without a word.
TEST_F(ScriptPage, TheLogBoxKeepsTheLast20000Lines) {
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::ranges::count(fixture.LogTexts(), std::string("DeviceChange")) == 1; }, 10000))
        << "the start-up scan is done";
    for (int i = 0; i < 24000; ++i)
        fixture.form->LogLine("line " + std::to_string(i));
    fixture.form->LogLine("line 24000\r\nline 24001\nline 24002");
    for (int i = 24003; i < 25000; ++i)
        fixture.form->LogLine("line " + std::to_string(i));
    // Lines logged in a burst are painted together, and the oldest leave then.
    ASSERT_TRUE(QTest::qWaitFor([&] { return fixture.Memo("Memo1")->blockCount() == 20000; }, 10000));
    const std::vector<std::string> texts = fixture.LogTexts();
    ASSERT_EQ(texts.size(), 20000u);
    EXPECT_EQ(texts.front(), "line 5000");
    EXPECT_EQ(texts[19000], "line 24000");
    EXPECT_EQ(texts[19001], "line 24001");
    EXPECT_EQ(texts.back(), "line 24999");
}

}  // namespace
}  // namespace tavrel
