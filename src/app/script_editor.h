#pragma once

#include <span>
#include <vector>

#include <QPlainTextEdit>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>

#include "script/line_compiler.h"
#include "script/script_compile.h"

namespace tavrel {

// Colours each line of a script by what the line compiler takes it for (ClassifyScriptLine): the
// kind is the core's, never a second parser's.
class ScriptHighlighter : public QSyntaxHighlighter {
    Q_OBJECT

public:
    explicit ScriptHighlighter(QTextDocument* document);

    // The format a line of `kind` is shown in.
    static QTextCharFormat FormatOf(ScriptLineKind kind);

protected:
    void highlightBlock(const QString& text) override;
};

// The script box: a plain text editor with line numbers in a narrow gutter inside its own
// rectangle, keyword colours, and the lines the last compile left out marked (a tinted line and a
// wavy underline) with that line's compile message as the tooltip. Editing a line clears its mark.
class TScriptEditor : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit TScriptEditor(QWidget* parent = nullptr);

    // Marks the lines that made no record though they were meant to (ScriptLineResult::LeftOut),
    // line i of the results being line i of the box; clears every earlier mark.
    void ShowCompileResults(std::span<const ScriptLineResult> results);
    // The tooltip of a marked line (its compile messages, one per line); empty when unmarked.
    QString MarkOf(int line) const;
    int GutterWidth() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    friend class LineNumberGutter;
    void PaintGutter(QPaintEvent* event);
    void UpdateGutter(const QRect& rect, int dy);
    void ClearMarksOfEditedLines(int position, int charsRemoved, int charsAdded);
    void RefreshMarks();

    QWidget* m_gutter;
    ScriptHighlighter* m_highlighter;
};

}  // namespace tavrel
