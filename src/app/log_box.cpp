#include "app/log_box.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>

namespace tavrel {

LogBox::LogBox(QPlainTextEdit& memo, int maxLines, std::chrono::milliseconds repaintInterval)
    : QObject(&memo), m_memo(memo), m_maxLines(maxLines), m_interval(repaintInterval) {
    // Nothing typed here is to be undone, and an undo history would keep every line ever logged.
    m_memo.setUndoRedoEnabled(false);
    m_release.setSingleShot(true);
    connect(&m_release, &QTimer::timeout, this, &LogBox::Release);
}

void LogBox::Append(const QString& text) {
    if (!m_release.isActive()) {
        const std::chrono::milliseconds since(m_sincePaint.isValid() ? m_sincePaint.elapsed()
                                                                     : m_interval.count());
        if (since >= m_interval) {
            m_memo.appendPlainText(text);
            Trim();
            m_sincePaint.start();
            return;
        }
        m_memo.setUpdatesEnabled(false);
        m_release.start(m_interval - since);
    }
    m_memo.appendPlainText(text);
}

void LogBox::Release() {
    Trim();
    m_sincePaint.start();
    m_memo.setUpdatesEnabled(true);  // repaints the whole box
}

void LogBox::Trim() {
    const int excess = m_memo.document()->blockCount() - m_maxLines;
    if (excess <= 0) return;
    QTextCursor cursor(m_memo.document());
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess);
    cursor.removeSelectedText();
    // Switching the history off again (it is off) has the document drop the text no fragment
    // holds any more once there is enough of it; without it the text store only grows.
    m_memo.document()->setUndoRedoEnabled(false);
}

}  // namespace tavrel
