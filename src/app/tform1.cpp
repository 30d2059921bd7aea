#include "app/tform1.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QTimer>

#include "app/app_support.h"
#include "common/gbk_literal.h"
#include "common/local_time.h"
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

enum PageIndex {
    kScriptEditorPage = 0,
    kScriptServerPage,
    kDataFlashPage,
    kAboutPage,
    kSerialPage,
    kKeypadPage
};

}  // namespace

TForm1::TForm1(QString executableFolder, QWidget* parent)
    : QWidget(parent), m_executableFolder(std::move(executableFolder)), tmrUdpSc(new QTimer(this)) {
    setupUi(this);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    // Sizes in pixels, like the window's own font: the layout file can only hold points, which
    // would grow with the screen's DPI while the window does not.
    for (const auto& [widget, pixels] :
         {std::pair<QWidget*, int>{HexGrid1, 15}, {MemoRev, 13}, {MemoSend, 13}}) {
        QFont sized = widget->font();
        sized.setPixelSize(pixels);
        widget->setFont(sized);
    }
    PageControl1->setStyleSheet(
        QStringLiteral("QTabBar::tab { width: %1px; padding-left: 0px; padding-right: 0px; }")
            .arg(kTabWidth));
    PageControl1->setCurrentIndex(kScriptEditorPage);
    tmrUdpSc->setObjectName(QStringLiteral("tmrUdpSc"));
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

    for (QPlainTextEdit* memo : {mmosc, mmoscbytes, Memo1}) {
        memo->viewport()->installEventFilter(this);
    }
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(btnDemo, &QPushButton::clicked, this, &TForm1::btnDemoClick);
    connect(btnparsesc, &QPushButton::clicked, this, &TForm1::btnparsescClick);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);

    HexGrid1->SetDataSize(kDataFlashGridSize);
    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::LogLine(std::string_view text) {
    QString line = QString::fromLocal8Bit(LocalTimeText()) + QStringLiteral(": ") + FromGbk(text);
    line.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Memo1->appendPlainText(line);
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
