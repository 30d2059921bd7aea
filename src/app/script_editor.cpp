#include "app/script_editor.h"

#include <QHelpEvent>
#include <QPainter>
#include <QTextBlock>
#include <QToolTip>

#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

// The mark a compile left on a line: its messages, for the tooltip.
class LineMark : public QTextBlockUserData {
public:
    explicit LineMark(QString tooltip) : tooltip(std::move(tooltip)) {}
    QString tooltip;
};

const LineMark* MarkOfBlock(const QTextBlock& block) {
    return dynamic_cast<const LineMark*>(block.userData());
}

QTextCharFormat Colour(const QColor& colour, bool bold = false, bool italic = false) {
    QTextCharFormat format;
    format.setForeground(colour);
    if (bold) format.setFontWeight(QFont::Bold);
    format.setFontItalic(italic);
    return format;
}

}  // namespace

class LineNumberGutter : public QWidget {
public:
    explicit LineNumberGutter(TScriptEditor* editor) : QWidget(editor), m_editor(editor) {}
    QSize sizeHint() const override { return {m_editor->GutterWidth(), 0}; }

protected:
    void paintEvent(QPaintEvent* event) override { m_editor->PaintGutter(event); }

private:
    TScriptEditor* m_editor;
};

ScriptHighlighter::ScriptHighlighter(QTextDocument* document) : QSyntaxHighlighter(document) {}

QTextCharFormat ScriptHighlighter::FormatOf(ScriptLineKind kind) {
    switch (kind) {
        case ScriptLineKind::Keyboard:
        case ScriptLineKind::RawKeyboard: return Colour(QColor(0x1F, 0x4E, 0xA8));  // blue
        case ScriptLineKind::Mouse:
        case ScriptLineKind::RawMouse: return Colour(QColor(0x6A, 0x2C, 0x91));              // purple
        case ScriptLineKind::Delay: return Colour(QColor(0x2E, 0x7D, 0x32));                 // green
        case ScriptLineKind::Jump: return Colour(QColor(0xB3, 0x5C, 0x00), true);            // amber, bold
        case ScriptLineKind::PlayControl: return Colour(QColor(0x00, 0x7C, 0x85), true);     // teal, bold
        case ScriptLineKind::Comment: return Colour(QColor(0x80, 0x80, 0x80), false, true);  // grey, italic
        case ScriptLineKind::Unknown: return Colour(QColor(0xC6, 0x28, 0x28));               // red
        case ScriptLineKind::Blank: break;
    }
    return {};
}

void ScriptHighlighter::highlightBlock(const QString& text) {
    const ScriptLineKind kind = ClassifyScriptLine(ToGbk(text));
    if (kind != ScriptLineKind::Blank) setFormat(0, static_cast<int>(text.size()), FormatOf(kind));
}

TScriptEditor::TScriptEditor(QWidget* parent)
    : QPlainTextEdit(parent),
      m_gutter(new LineNumberGutter(this)),
      m_highlighter(new ScriptHighlighter(document())) {
    connect(this, &QPlainTextEdit::blockCountChanged, this,
            [this] { setViewportMargins(GutterWidth(), 0, 0, 0); });
    connect(this, &QPlainTextEdit::updateRequest, this, &TScriptEditor::UpdateGutter);
    connect(document(), &QTextDocument::contentsChange, this, &TScriptEditor::ClearMarksOfEditedLines);
    setViewportMargins(GutterWidth(), 0, 0, 0);
}

int TScriptEditor::GutterWidth() const {
    int digits = 1;
    for (int lines = std::max(1, blockCount()); lines >= 10; lines /= 10)
        ++digits;
    return 4 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * std::max(digits, 2);
}

void TScriptEditor::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    const QRect inside = contentsRect();
    m_gutter->setGeometry(QRect(inside.left(), inside.top(), GutterWidth(), inside.height()));
}

void TScriptEditor::UpdateGutter(const QRect& rect, int dy) {
    if (dy != 0) {
        m_gutter->scroll(0, dy);
    } else {
        m_gutter->update(0, rect.y(), m_gutter->width(), rect.height());
    }
    if (rect.contains(viewport()->rect())) setViewportMargins(GutterWidth(), 0, 0, 0);
}

void TScriptEditor::PaintGutter(QPaintEvent* event) {
    QPainter painter(m_gutter);
    painter.fillRect(event->rect(), palette().color(QPalette::Window));
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    int bottom = top + qRound(blockBoundingRect(block).height());
    while (block.isValid() && top <= event->rect().bottom()) {
        if (block.isVisible() && bottom >= event->rect().top()) {
            painter.setPen(MarkOfBlock(block) != nullptr ? QColor(0xC6, 0x28, 0x28)
                                                         : palette().color(QPalette::PlaceholderText));
            painter.drawText(0, top, m_gutter->width() - 2, fontMetrics().height(), Qt::AlignRight,
                             QString::number(block.blockNumber() + 1));
        }
        block = block.next();
        top = bottom;
        bottom = top + qRound(blockBoundingRect(block).height());
    }
}

void TScriptEditor::ShowCompileResults(std::span<const ScriptLineResult> results) {
    QTextBlock block = document()->firstBlock();
    for (std::size_t line = 0; block.isValid(); ++line, block = block.next()) {
        const ScriptLineResult* result = line < results.size() ? &results[line] : nullptr;
        if (result == nullptr || !result->LeftOut()) {
            block.setUserData(nullptr);
            continue;
        }
        QStringList messages;
        for (const std::string& message : result->messages)
            messages.append(FromGbk(message));
        // A line dropped without a word (a delay of no time) still says why it is marked.
        if (messages.isEmpty()) messages.append(QStringLiteral("此行未生成脚本"));
        block.setUserData(new LineMark(messages.join(QLatin1Char('\n'))));
    }
    RefreshMarks();
}

QString TScriptEditor::MarkOf(int line) const {
    const LineMark* mark = MarkOfBlock(document()->findBlockByNumber(line));
    return mark != nullptr ? mark->tooltip : QString();
}

void TScriptEditor::ClearMarksOfEditedLines(int position, int charsRemoved, int charsAdded) {
    if (charsRemoved == 0 && charsAdded == 0) return;  // a format change, not an edit
    bool cleared = false;
    const QTextBlock last = document()->findBlock(position + charsAdded);
    for (QTextBlock block = document()->findBlock(position); block.isValid(); block = block.next()) {
        if (MarkOfBlock(block) != nullptr) {
            block.setUserData(nullptr);
            cleared = true;
        }
        if (block == last) break;
    }
    if (cleared) RefreshMarks();
}

void TScriptEditor::RefreshMarks() {
    QList<QTextEdit::ExtraSelection> selections;
    for (QTextBlock block = document()->firstBlock(); block.isValid(); block = block.next()) {
        if (MarkOfBlock(block) == nullptr) continue;
        QTextEdit::ExtraSelection selection;
        selection.format.setBackground(QColor(0xFF, 0xE4, 0xE1));
        selection.format.setProperty(QTextFormat::FullWidthSelection, true);
        selection.format.setUnderlineStyle(QTextCharFormat::WaveUnderline);
        selection.format.setUnderlineColor(QColor(0xC6, 0x28, 0x28));
        selection.cursor = QTextCursor(block);  // the line's text, for the underline
        selection.cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        selections.append(selection);
    }
    setExtraSelections(selections);
    m_gutter->update();
}

bool TScriptEditor::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString tooltip = MarkOf(cursorForPosition(help->pos()).blockNumber());
        if (tooltip.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(help->globalPos(), tooltip, this);
        }
        return true;
    }
    return QPlainTextEdit::viewportEvent(event);
}

}  // namespace tavrel
