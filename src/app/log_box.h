#pragma once

#include <chrono>

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QPlainTextEdit;

namespace tavrel {

// The log box's bound and pace: it shows the last `maxLines` lines (each line of a many-line entry
// counts), older ones leaving from the top, and repaints at most once an interval. A line after a
// quiet interval shows at once; lines closer together are appended at once but painted together
// when the interval is over, and only then do the oldest lines leave, all in one edit. A full box
// that lost a line per append re-measured the widest of its 20,000 lines each time the widest
// left: that, and a repaint per line, took most of the window's time under a UDP stream.
class LogBox : public QObject {
    Q_OBJECT

public:
    LogBox(QPlainTextEdit& memo, int maxLines, std::chrono::milliseconds repaintInterval);

    void Append(const QString& text);

private:
    void Release();
    void Trim();

    QPlainTextEdit& m_memo;
    int m_maxLines;
    std::chrono::milliseconds m_interval;
    QElapsedTimer m_sincePaint;
    QTimer m_release;  // runs while painting is held
};

}  // namespace tavrel
