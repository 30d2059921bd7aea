#pragma once

#include <deque>
#include <string>
#include <string_view>

#include <QString>
#include <QWidget>

#include "common/log_sink.h"
#include "script/script_record.h"
#include "ui_unit1.h"

class QTimer;

namespace tavrel {

// The tool's one window: device list, six tab pages and the log box. Its controls are members
// under their layout names; its handlers read the controls, call the core and write back.
class TForm1 : public QWidget, public LogSink, private Ui::TForm1 {
    Q_OBJECT

public:
    // `executableFolder` (ending in a separator) is where the production-mode marker is looked for.
    explicit TForm1(QString executableFolder, QWidget* parent = nullptr);
    ~TForm1() override;

    // Appends "<local time>: <text>" to the log box; `text` is GBK.
    void LogLine(std::string_view text) override;

    void FormCreate();
    void Memo1DblClick();
    void Button1Click();
    void btnDemoClick();
    void mmoscDblClick();
    void btnparsescClick();
    void ListScriptBytes();
    void Button2Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyProductionMode();

    QString m_executableFolder;
    std::deque<std::string> lstUdpSc;  // script lines received over UDP, GBK
    QTimer* tmrUdpSc;
    ScriptRecordBuffer RecordBuffer{};
    int RecordCount = 0;
};

}  // namespace tavrel
