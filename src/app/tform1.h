#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <QPointer>
#include <QString>
#include <QWidget>

#include "app/global_hot_keys.h"
#include "app/log_box.h"
#include "commands/reply_decoder.h"
#include "common/log_sink.h"
#include "gadget/gadget_link.h"
#include "hid/hid_device_controller.h"
#include "remote/udp_script_server.h"
#include "script/script_record.h"
#include "ui_unit1.h"

namespace tavrel {

class HidPlatform;

// The tool's one window: device list, six tab pages and the log box. Its controls are members
// under their layout names; its handlers read the controls, call the core and write back.
class TForm1 : public QWidget, public LogSink, private Ui::TForm1 {
    Q_OBJECT

public:
    // `executableFolder` (ending in a separator) is where the production-mode marker is looked for;
    // `platform` is the HID access the device list shows (the system's, or a simulated bus).
    // `udpBindAddress` is where the UDP script server listens (every local IPv4 address by default).
    TForm1(QString executableFolder, HidPlatform& platform,
           QHostAddress udpBindAddress = QHostAddress::AnyIPv4, QWidget* parent = nullptr);
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

    // The device list (the controller's handlers) and the selected gadget.
    void HidCtlArrival(THidDevice& HidDev);
    bool HidCtlEnumerate(THidDevice& HidDev, int Idx);
    void HidCtlDeviceChange(THidDeviceController& Sender);
    void HidCtlDeviceData(THidDevice& HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                          std::uint16_t Size);
    void DevListBoxClick();
    THidDevice* SelectedDevice() const { return m_link.SelectedDevice(); }
    // Applies what one input report does: log lines, identifier text, grid bytes, serial line.
    void DecodeReply(THidDevice& HidDev, std::uint8_t ReportID, const std::uint8_t* Data, std::uint16_t Size);

    // Commands.
    void btnReadIdClick();
    void btnrebootClick();
    void btnStartClick();
    void btnstopClick();
    void btnISPClick();
    void btnTestKBClick();

    // Storing scripts and data.
    void btnWritescClick();
    void btnReadEepromClick();
    void btnWriteEepromClick();
    void btnClearEepromClick();
    void btnHid2SerClick();
    void btnClearClick();

    // The UDP script server.
    void chkUdpClick();
    void Udp1Status(TUdpEndpoint& Sender, const std::string& status);
    UdpScriptServer& ScriptServer() { return m_udpServer; }

    // Destroys the UDP endpoint; run when the window closes.
    void FormClose();
    // Releases the hot keys; run when the window is destroyed.
    void FormDestroy();

    GadgetLink& Link() { return m_link; }
    THidDeviceController& Controller() { return *HidCtl; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The pause a freshly selected gadget wants before it is asked for its identifier.
    static constexpr int kIdentifierRequestDelayMs = 10;
    void ApplyProductionMode();
    void RegisterHotKeys();
    void HotKeyPressed(HotKey key);
    // Runs a handler; an error escaping it is shown in a message box once the event loop gets
    // there, so that it never unwinds through the controller, a reader's hand-over or a wait.
    void Guarded(const std::function<void()>& handler);
    // Starts an exchange; when it is done (all answered), the data flash grid is repainted. Gives
    // the exchange, none when it was refused.
    GadgetExchange* StartAndRepaintWhenDone(std::unique_ptr<GadgetExchange> exchange);
    // Marks an exchange that writes to the gadget's flash: closing waits for it to end.
    void KeepOpenWhileWriting(GadgetExchange* exchange);

    QString m_executableFolder;
    ScriptRecordBuffer RecordBuffer{};
    int RecordCount = 0;
    std::unique_ptr<THidDeviceController> HidCtl;
    GadgetLink m_link;
    UdpScriptServer m_udpServer;  // with the line queue lstUdpSc and its tick tmrUdpSc
    // The flash write running, if any, and whether a close waits for it to end.
    QPointer<GadgetExchange> m_flashWrite;
    bool m_closeWaiting = false;
    GlobalHotKeys* m_hotKeys;
    LogBox* m_logBox = nullptr;  // Memo1's bound and pace
};

}  // namespace tavrel
