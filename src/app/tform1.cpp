#include "app/tform1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include "app/app_support.h"
#include "app/font_families.h"
#include "app/tavrel_application.h"
#include "commands/command_codes.h"
#include "commands/script_download.h"
#include "common/gbk_literal.h"
#include "common/local_time.h"
#include "gadget/data_flash.h"
#include "gadget/flash_exchanges.h"
#include "gadget/mouse_test.h"
#include "gadget/play_commands.h"
#include "script/script_compile.h"
#include "script/script_listing.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

// The window's outer size on the platform the layout was drawn for; the client area is what
// the controls are placed in.
constexpr QSize kOuterSize(619, 570);
constexpr QSize kClientSize(603, 531);
constexpr int kTabWidth = 95;
constexpr int kDataFlashGridSize = 128;
// Lines the log box keeps; older ones leave from the top, so a window left running for days
// neither grows without end nor slows down.
constexpr int kLogBoxLines = 20000;
// A UDP stream logs hundreds of lines a second; the log box shows them 20 times a second.
constexpr std::chrono::milliseconds kLogRepaintInterval{50};

enum PageIndex {
    kScriptEditorPage = 0,
    kScriptServerPage,
    kDataFlashPage,
    kAboutPage,
    kSerialPage,
    kKeypadPage
};

}  // namespace

TForm1::TForm1(QString executableFolder, HidPlatform& platform, QHostAddress udpBindAddress, QWidget* parent)
    : QWidget(parent),
      m_executableFolder(std::move(executableFolder)),
      HidCtl(std::make_unique<THidDeviceController>(platform)),
      m_link(*HidCtl, *this),
      m_udpServer(m_link, *this, std::move(udpBindAddress)),
      m_hotKeys(new GlobalHotKeys(this)) {
    // The window's font first, so that the controls are made in it: made in the default font,
    // each would load that font and lay its text out once more for nothing.
    QFont font(QString::fromLatin1(kWindowFontFamily));
    font.setPixelSize(11);
    font.setFamily(ResolvedFamily(font));
    setFont(font);
    setupUi(this);
    // The controller's start-up notice is handled once the event loop runs, with these in place.
    HidCtl->SetOnArrival(MakeHidEvent<THidPlugEvent>([this](THidDevice& device) { HidCtlArrival(device); }));
    HidCtl->SetEnumerate([this](THidDevice& device, int index) { return HidCtlEnumerate(device, index); });
    HidCtl->SetDeviceChangeEvent([this](THidDeviceController& sender) { HidCtlDeviceChange(sender); });
    HidCtl->SetDevData(MakeHidEvent<THidDataEvent>(
        [this](THidDevice& device, std::uint8_t reportId, const std::uint8_t* data, std::uint16_t size) {
            HidCtlDeviceData(device, reportId, data, size);
        }));
    // Sizes in pixels, like the window's own font: the layout file can only hold points, which
    // would grow with the screen's DPI while the window does not.
    for (const auto& [widget, pixels] :
         {std::pair<QWidget*, int>{HexGrid1, 15}, {MemoRev, 13}, {MemoSend, 13}}) {
        QFont sized = widget->font();
        sized.setPixelSize(pixels);
        widget->setFont(sized);
    }
    UseResolvedFamilies(*this);
    PageControl1->setStyleSheet(
        QStringLiteral("QTabBar::tab { width: %1px; padding-left: 0px; padding-right: 0px; }")
            .arg(kTabWidth));
    PageControl1->setCurrentIndex(kScriptEditorPage);
    // Two empty lines; the layout file cannot hold a text of white space alone.
    mmoscbytes->setPlainText(QStringLiteral("\n"));

    // No maximize button; the frame stays sizable, the controls keep their places.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    resize(kClientSize);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->availableGeometry();
        move(desktop.x() + (desktop.width() - kOuterSize.width()) / 2,
             desktop.y() + (desktop.height() - kOuterSize.height()) / 2);
    }

    m_logBox = new LogBox(*Memo1, kLogBoxLines, kLogRepaintInterval);
    for (QPlainTextEdit* memo : std::initializer_list<QPlainTextEdit*>{mmosc, mmoscbytes, Memo1}) {
        memo->viewport()->installEventFilter(this);
    }
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(btnDemo, &QPushButton::clicked, this, &TForm1::btnDemoClick);
    connect(btnparsesc, &QPushButton::clicked, this, &TForm1::btnparsescClick);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(DevListBox, &QListWidget::currentRowChanged, this, [this](int row) { m_link.Select(row); });
    connect(DevListBox, &QListWidget::itemClicked, this, &TForm1::DevListBoxClick);
    connect(btnReadId, &QPushButton::clicked, this, &TForm1::btnReadIdClick);
    connect(btnreboot, &QPushButton::clicked, this, &TForm1::btnrebootClick);
    connect(btnStart, &QPushButton::clicked, this, &TForm1::btnStartClick);
    connect(btnstop, &QPushButton::clicked, this, &TForm1::btnstopClick);
    connect(btnISP, &QPushButton::clicked, this, &TForm1::btnISPClick);
    connect(btnTestKB, &QPushButton::clicked, this, &TForm1::btnTestKBClick);
    connect(btnWritesc, &QPushButton::clicked, this, &TForm1::btnWritescClick);
    connect(btnReadEeprom, &QPushButton::clicked, this, &TForm1::btnReadEepromClick);
    connect(btnWriteEeprom, &QPushButton::clicked, this, &TForm1::btnWriteEepromClick);
    connect(btnClearEeprom, &QPushButton::clicked, this, &TForm1::btnClearEepromClick);
    connect(btnHid2Ser, &QPushButton::clicked, this, &TForm1::btnHid2SerClick);
    connect(btnClear, &QPushButton::clicked, this, &TForm1::btnClearClick);
    connect(chkUdp, &QCheckBox::toggled, this, &TForm1::chkUdpClick);
    m_udpServer.Udp1()->SetOnStatus(
        [this](TUdpEndpoint& sender, const std::string& status) { Udp1Status(sender, status); });
    connect(m_hotKeys, &GlobalHotKeys::pressed, this, &TForm1::HotKeyPressed);

    RegisterHotKeys();
    HexGrid1->SetDataSize(kDataFlashGridSize);
    FormCreate();
}

TForm1::~TForm1() {
    FormDestroy();
    // Every reader stops while the window is whole (a stopping reader still hands over what it
    // has read); then the controller lets go of the lent devices, which the link destroys.
    HidCtl->SetDevData(nullptr);
    HidCtl.reset();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // A flash half written leaves the gadget with a broken script: the first close waits for the
    // write to end (done, timed out or unplugged); a second one closes at once.
    if (m_flashWrite && m_flashWrite->Running() && !m_closeWaiting) {
        m_closeWaiting = true;
        LogLine("正在写入设备，完成后关闭"_gbk);
        event->ignore();
        return;
    }
    m_closeWaiting = false;
    FormClose();
    QWidget::closeEvent(event);
}

void TForm1::KeepOpenWhileWriting(GadgetExchange* exchange) {
    if (!exchange || !exchange->Running()) return;
    m_flashWrite = exchange;
    connect(exchange, &GadgetExchange::finished, this, [this] {
        // Closed from the event loop, once the exchange has ended and said so to everyone.
        if (m_closeWaiting) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
}

void TForm1::FormClose() {
    m_udpServer.DestroyEndpoint();
}

void TForm1::chkUdpClick() {
    Guarded([&] {
        if (chkUdp->isChecked()) {
            m_udpServer.Enable(ToGbk(edtUdpPort->text()));
        } else {
            m_udpServer.Disable();
        }
    });
}

void TForm1::Udp1Status(TUdpEndpoint&, const std::string& status) {
    LogLine("UDP:" + status);
}

void TForm1::FormDestroy() {
    m_hotKeys->ReleaseAll();
}

void TForm1::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        const QString text = CurrentExceptionText();
        QMetaObject::invokeMethod(
            this, [text] { ShowErrorMessage(text); }, Qt::QueuedConnection);
    }
}

void TForm1::RegisterHotKeys() {
    if (!m_hotKeys->Available()) return;  // no global keys on this desktop: none, quietly
    const struct {
        HotKey key;
        const char* failure;
    } keys[] = {
        {HotKey::F7, "REBOOT Hot key register fail!"},
        {HotKey::F8, "START Hot key register fail!"},
        {HotKey::F9, "STOP Hot key register fail!"},
    };
    const HotKey wanted[] = {keys[0].key, keys[1].key, keys[2].key};
    const std::vector<bool> taken = m_hotKeys->RegisterAll(wanted);
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        const char* failure = keys[i].failure;
        if (!taken[i]) {
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Tavrel"), QString::fromLatin1(failure),
                            QMessageBox::Ok, this);
            box.exec();
        }
    }
}

void TForm1::HotKeyPressed(HotKey key) {
    switch (key) {
        case HotKey::F8:
            LogLine("START");
            btnStartClick();
            break;
        case HotKey::F9:
            LogLine("STOP");
            btnstopClick();
            break;
        case HotKey::F7:
            LogLine("REBOOT");
            btnrebootClick();
            break;
    }
}

void TForm1::HidCtlArrival(THidDevice&) {}

bool TForm1::HidCtlEnumerate(THidDevice& HidDev, int Idx) {
    Guarded([&] {
        DevListBox->setCurrentRow(-1);
        const GadgetListing listing = m_link.Take(HidDev, Idx);
        if (listing.entryText) DevListBox->addItem(QString::fromLatin1(listing.entryText->c_str()));
        for (const std::string& line : listing.logLines)
            LogLine(line);
    });
    return true;
}

void TForm1::HidCtlDeviceChange(THidDeviceController&) {
    Guarded([&] {
        LogLine("DeviceChange");
        DevListBox->clear();
        if (m_link.Rebuild() == 0) return;
        DevListBox->setCurrentRow(0);
        DevListBoxClick();
        // The identifier is asked for 10 ms after the selection, as the gadget wants, without
        // blocking the event thread meanwhile (the window paints). The request is the first
        // packet the selected gadget gets, and it goes to that gadget or to none; a device change
        // within those 10 ms drops it: its own rebuild asks again.
        m_link.SendFirstAfter(BuildCommandPacket(CMD_READ_ID), kIdentifierRequestDelayMs);
    });
}

void TForm1::DevListBoxClick() {
    Guarded([&] {
        if (const std::optional<std::string> line = m_link.SelectedDescription()) LogLine(*line);
    });
}

void TForm1::HidCtlDeviceData(THidDevice& HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                              std::uint16_t Size) {
    Guarded([&] { DecodeReply(HidDev, ReportID, Data, Size); });
}

void TForm1::DecodeReply(THidDevice& HidDev, std::uint8_t, const std::uint8_t* Data, std::uint16_t Size) {
    const ReplyEffects effects = m_link.HandleReport(HidDev, {Data, Size});
    for (const std::string& line : effects.logLines)
        LogLine(line);
    if (effects.deviceIdText) edtDevid->setText(QString::fromLatin1(effects.deviceIdText->c_str()));
    // Bytes from the gadget replace what the operator typed: no undo may bring those back.
    if (effects.flashData) {
        if (HexGrid1->WriteBuffer(effects.flashData->address, effects.flashData->bytes)) {
            HexGrid1->ClearUndoHistory();
        } else {
            LogLine(FlashReplyRefusedText());
        }
    }
    if (effects.serialLine) MemoRev->append(QString::fromLatin1(effects.serialLine->c_str()));
}

void TForm1::btnReadIdClick() {
    Guarded([&] { SendReadId(m_link); });
}

void TForm1::btnrebootClick() {
    Guarded([&] { SendReboot(m_link); });
}

void TForm1::btnStartClick() {
    Guarded([&] {
        SendStart(m_link);
        QThread::msleep(10);
    });
}

void TForm1::btnstopClick() {
    Guarded([&] { SendStop(m_link); });
}

void TForm1::btnISPClick() {
    Guarded([&] { SendIsp(m_link); });
}

void TForm1::btnTestKBClick() {
    Guarded([&] { m_link.Start(std::make_unique<MouseTestExchange>(m_link, m_link.SelectedGadget())); });
}

GadgetExchange* TForm1::StartAndRepaintWhenDone(std::unique_ptr<GadgetExchange> exchange) {
    connect(exchange.get(), &GadgetExchange::finished, this, [this](GadgetExchange::Outcome outcome) {
        if (outcome == GadgetExchange::Outcome::Done) HexGrid1->Repaint();
    });
    return m_link.Start(std::move(exchange));
}

void TForm1::btnWritescClick() {
    Guarded([&] {
        if (m_link.RefuseWhileBusy()) return;
        const ScriptDownload plan = PlanScriptDownload(MemoLines(*mmoscbytes), RecordBuffer);
        std::copy_n(plan.image.begin(), std::min(plan.image.size(), RecordBuffer.size()),
                    RecordBuffer.begin());
        for (const std::string& line : plan.logLines)
            LogLine(line);
        if (!plan.blocks.empty()) {
            KeepOpenWhileWriting(m_link.Start(MakeScriptDownload(m_link, m_link.SelectedGadget(), plan)));
        }
    });
}

void TForm1::btnReadEepromClick() {
    Guarded([&] { StartAndRepaintWhenDone(MakeDataFlashRead(m_link, m_link.SelectedGadget())); });
}

void TForm1::btnWriteEepromClick() {
    Guarded([&] {
        KeepOpenWhileWriting(StartAndRepaintWhenDone(
            MakeDataFlashWrite(m_link, m_link.SelectedGadget(), HexGrid1->Storage().Bytes())));
    });
}

void TForm1::btnClearEepromClick() {
    Guarded([&] {
        HexGrid1->Storage().Fill(0xFF);
        HexGrid1->ClearUndoHistory();
        HexGrid1->Repaint();
    });
}

void TForm1::btnHid2SerClick() {
    Guarded([&] { SendSerialTest(m_link); });
}

void TForm1::btnClearClick() {
    MemoRev->clear();
}

void TForm1::LogLine(std::string_view text) {
    QString line = QString::fromLocal8Bit(LocalTimeText()) + QStringLiteral(": ") + FromGbk(text);
    line.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (m_logBox) {
        m_logBox->Append(line);
    } else {
        Memo1->appendPlainText(line);  // while the window is being made
    }
}

void TForm1::FormCreate() {
    ApplyProductionMode();
    LogLine(BuildDateText());
}

void TForm1::ApplyProductionMode() {
    if (ProductionMarkerPresent(m_executableFolder)) {
        LogLine("生产模式"_gbk);
        for (const int page : {kDataFlashPage, kAboutPage, kSerialPage, kKeypadPage}) {
            PageControl1->setTabVisible(page, true);
        }
        return;
    }
    for (const int page : {kScriptServerPage, kDataFlashPage, kAboutPage, kSerialPage, kKeypadPage}) {
        PageControl1->setTabVisible(page, false);
    }
    btnparsesc->hide();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == Memo1->viewport()) {
            Memo1DblClick();
            return true;
        }
        if (watched == mmosc->viewport() || watched == mmoscbytes->viewport()) {
            mmoscDblClick();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::Memo1DblClick() {
    Memo1->clear();
}

void TForm1::Button1Click() {
    mmoscbytes->clear();
    const ScriptCompilation compilation =
        CompileScript(MemoLines(*mmosc), ToGbk(edtVer->text()), chkAutoRun->isChecked(), *this);
    RecordBuffer = compilation.recordBuffer;
    RecordCount = compilation.recordCount;
    QStringList lines;
    for (const std::string& line : compilation.byteTextLines) {
        lines.append(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
    }
    mmoscbytes->setPlainText(lines.join(QLatin1Char('\n')));
    mmosc->ShowCompileResults(compilation.lineResults);
}

void TForm1::btnDemoClick() {
    LogLine(DemoScriptText());
}

void TForm1::mmoscDblClick() {
    mmosc->clear();
}

void TForm1::btnparsescClick() {
    ListScriptBytes();
}

void TForm1::ListScriptBytes() {
    tavrel::ListScriptBytes(MemoLines(*mmoscbytes), RecordBuffer, *this);
}

void TForm1::Button2Click() {
    QApplication::beep();
}

}  // namespace tavrel
