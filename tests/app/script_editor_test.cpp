#include "app/script_editor.h"

#include <QHelpEvent>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolTip>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/form_fixture.h"

namespace tavrel {
namespace {

using test::FormFixture;

// The format the highlighter gave a line (one run over the whole line), or none.
std::optional<QTextCharFormat> LineFormat(const TScriptEditor& editor, int line) {
    const QList<QTextLayout::FormatRange> ranges =
        editor.document()->findBlockByNumber(line).layout()->formats();
    if (ranges.isEmpty()) return std::nullopt;
    EXPECT_EQ(ranges.size(), 1);
    return ranges.front().format;
}

TEST(ScriptHighlighter, ColoursEachLineByTheKindTheCompilerTakesItFor) {
    const std::pair<QString, ScriptLineKind> lines[] = {
        {"按键：A", ScriptLineKind::Keyboard},
        {"键盘：中", ScriptLineKind::Keyboard},  // its key fails, its kind stands
        {"鼠标：单击", ScriptLineKind::Mouse},
        {"延时：1秒", ScriptLineKind::Delay},
        {"跳转：2行", ScriptLineKind::Jump},
        {"停止：1", ScriptLineKind::PlayControl},
        {"注释：说明", ScriptLineKind::Comment},
        {"你好", ScriptLineKind::Unknown},
        {"键盘HID:00 00 04 00 00 00 00 00", ScriptLineKind::RawKeyboard},
        {"鼠标HID:01 00 00 00", ScriptLineKind::RawMouse},
    };
    TScriptEditor editor;
    QStringList text;
    for (const auto& [line, kind] : lines)
        text.append(line);
    text.append("");
    editor.setPlainText(text.join('\n'));
    for (int i = 0; i < static_cast<int>(std::size(lines)); ++i) {
        const std::optional<QTextCharFormat> format = LineFormat(editor, i);
        ASSERT_TRUE(format) << lines[i].first.toStdString();
        EXPECT_EQ(*format, ScriptHighlighter::FormatOf(lines[i].second)) << lines[i].first.toStdString();
    }
    EXPECT_FALSE(LineFormat(editor, static_cast<int>(std::size(lines)))) << "a blank line stays plain";

    // Each of the kinds a reader tells apart looks different.
    const ScriptLineKind told[] = {
        ScriptLineKind::Keyboard,    ScriptLineKind::Mouse,   ScriptLineKind::Delay,  ScriptLineKind::Jump,
        ScriptLineKind::PlayControl, ScriptLineKind::Comment, ScriptLineKind::Unknown};
    for (const ScriptLineKind a : told) {
        for (const ScriptLineKind b : told) {
            if (a != b) {
                EXPECT_NE(ScriptHighlighter::FormatOf(a), ScriptHighlighter::FormatOf(b));
            }
        }
    }

    // Typing a keyword recolours the line.
    QTextCursor cursor(editor.document()->findBlockByNumber(7));
    cursor.insertText("按键：");
    EXPECT_EQ(LineFormat(editor, 7), ScriptHighlighter::FormatOf(ScriptLineKind::Keyboard));
}

class ScriptMarks : public ::testing::Test {
protected:
    TScriptEditor* Editor() const { return fixture.Find<TScriptEditor>("mmosc"); }
    int Marked() const { return static_cast<int>(Editor()->extraSelections().size()); }
    FormFixture fixture{FormFixture::Marker::None};
};

TEST_F(ScriptMarks, ACompileMarksTheLinesThatGaveNoRecordWithTheirMessage) {
    TScriptEditor* editor = Editor();
    EXPECT_GT(editor->GutterWidth(), 0);
    EXPECT_GE(editor->viewport()->geometry().left(), editor->GutterWidth()) << "the numbers sit inside the box";

    QString script = "按键：A\n按键：中\n\n注释：说明\n延时：0\n你好\n";
    script += QString("按键：B\n").repeated(41);  // the 42nd record is the last that fits
    script += "鼠标：单击\n\n";
    editor->setPlainText(script);
    fixture.Click("Button1");

    EXPECT_EQ(editor->MarkOf(0), "");
    EXPECT_EQ(editor->MarkOf(1), "无法识别键盘值：中");
    EXPECT_EQ(editor->MarkOf(2), "") << "blank";
    EXPECT_EQ(editor->MarkOf(3), "") << "comment";
    EXPECT_EQ(editor->MarkOf(4), "此行未生成脚本") << "dropped without a message";
    EXPECT_EQ(editor->MarkOf(5), "未知指令：你好");
    EXPECT_EQ(editor->MarkOf(6), "");
    EXPECT_EQ(editor->MarkOf(47), "超过存储空间！");
    EXPECT_EQ(editor->MarkOf(48), "") << "a blank line past the limit loses nothing";
    EXPECT_EQ(Marked(), 4);

    // The tooltip over a marked line is its message.
    editor->show();
    const QRect line1 = editor->cursorRect(QTextCursor(editor->document()->findBlockByNumber(1)));
    QHelpEvent help(QEvent::ToolTip, line1.center(), editor->viewport()->mapToGlobal(line1.center()));
    QCoreApplication::sendEvent(editor->viewport(), &help);
    EXPECT_EQ(QToolTip::text(), "无法识别键盘值：中");

    // Editing a line clears its mark, and only its own.
    QTextCursor cursor(editor->document()->findBlockByNumber(5));
    cursor.movePosition(QTextCursor::EndOfBlock);
    cursor.insertText("吗");
    EXPECT_EQ(editor->MarkOf(5), "");
    EXPECT_EQ(editor->MarkOf(1), "无法识别键盘值：中");
    EXPECT_EQ(Marked(), 3);

    // A compile of a sound script leaves no mark; the log and the byte text are as without marks.
    editor->setPlainText("按键：A\n");
    fixture.MarkLog();
    fixture.Click("Button1");
    EXPECT_EQ(Marked(), 0);
    EXPECT_THAT(fixture.NewLogTexts(), ::testing::ElementsAre("翻译完毕，共1行脚本"));
}

}  // namespace
}  // namespace tavrel
