#include <string_view>
#include <tuple>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>
#include <QTextEdit>
#include <QUndoStack>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/font_families.h"
#include "app/form_fixture.h"
#include "app/hex_grid.h"

namespace tavrel {
namespace {

using test::FormFixture;
using ::testing::ElementsAre;

struct ControlCase {
    const char* name;
    const char* className;
    QRect geometry;
    const char* caption;  // text, title or plain text; nullptr: not checked
    bool shown;           // visible once its page is visible (production mode)
};

QString CaptionOf(QWidget* widget) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    if (auto* memo = qobject_cast<QPlainTextEdit*>(widget)) return memo->toPlainText();
    if (auto* rich = qobject_cast<QTextEdit*>(widget)) return rich->toPlainText();
    return {};
}

TEST(FormLayout, EveryControlWithItsNameCaptionStateAndPlace) {
    const ControlCase controls[] = {
        {"DevListBox", "QListWidget", {16, 8, 577, 49}, nullptr, true},
        {"PageControl1", "QTabWidget", {16, 64, 577, 305}, nullptr, true},
        {"Memo1", "QPlainTextEdit", {0, 384, 601, 146}, nullptr, true},
        {"mmosc",
         "tavrel::TScriptEditor",
         {32, 24, 153, 137},
         "注释：设备自动控制\n延时：120秒\n按键：1\n延时：120秒\n按键：下\n延时：120秒\n按键：回车\n延时：120"
         "秒\n跳转：2行",
         true},
        {"btnparsesc", "QPushButton", {224, 40, 75, 25}, "<=解析", true},
        {"Button1", "QPushButton", {224, 72, 75, 25}, "编译=>", true},
        {"Label1", "QLabel", {216, 116, 33, 13}, "版本", true},
        {"edtVer", "QLineEdit", {264, 112, 33, 21}, "1", true},
        {"chkAutoRun", "QCheckBox", {216, 136, 113, 17}, "自动运行脚本", true},
        {"mmoscbytes", "QPlainTextEdit", {336, 24, 153, 137}, "\n", true},
        {"btnreboot", "QPushButton", {32, 180, 89, 25}, "复位设备[F7]", true},
        {"btnStart", "QPushButton", {144, 180, 75, 25}, "开始[F8]", true},
        {"btnDemo", "QPushButton", {32, 212, 89, 21}, "脚本示例", true},
        {"btnstop", "QPushButton", {144, 212, 75, 21}, "停止[F9]", true},
        {"btnWritesc", "QPushButton", {408, 180, 75, 21}, "写入脚本", true},
        {"btnISP", "QPushButton", {216, 236, 89, 25}, "ISP", false},
        {"GroupBox1", "QGroupBox", {24, 24, 361, 49}, "UDP服务", true},
        {"chkUdp", "QCheckBox", {17, 19, 74, 17}, "启用", true},
        {"lbl1", "QLabel", {120, 21, 33, 13}, "端口", true},
        {"edtUdpPort", "QLineEdit", {155, 17, 53, 21}, "10200", true},
        {"Memo2",
         "QPlainTextEdit",
         {24, 112, 361, 145},
         "指令格式：\n\n按键：A\n按键：CTRL+ALT+DEL\n字符串：www.example.com\n键盘HID:00 00 04 00 00 00 00 "
         "00\n\n单击\n右击\n双击\n"
         "鼠标HID:18 30 00 00\n\n\n延时：3秒",
         true},
        {"btnTestKB", "QPushButton", {416, 112, 97, 41}, "鼠标移动测试", true},
        {"Button2", "QPushButton", {440, 48, 75, 25}, "Button2", false},
        {"HexGrid1", "tavrel::THexGrid", {16, 13, 521, 212}, nullptr, true},
        {"btnReadEeprom", "QPushButton", {16, 245, 49, 25}, "Read", true},
        {"btnWriteEeprom", "QPushButton", {72, 245, 49, 25}, "Write", true},
        {"btnClearEeprom", "QPushButton", {131, 245, 38, 25}, "Clear", true},
        {"edtDevid", "QLineEdit", {201, 248, 81, 21}, "", true},
        {"btnReadId", "QPushButton", {464, 248, 75, 21}, "ReadId", true},
        {"MemoRev", "QTextEdit", {3, 4, 437, 181}, "", true},
        {"chkReceiveHex", "QCheckBox", {452, 12, 115, 25}, "十六进制HEX显示", true},
        {"btnClear", "QPushButton", {462, 52, 75, 24}, "清空", true},
        {"MemoSend",
         "QTextEdit",
         {8, 200, 433, 57},
         "57 AB 00 02 08 00 00 04 00 00 00 00 00 10\n57 AB 00 02 08 00 00 00 00 00 00 00 00 0C",
         true},
        {"chkSendhex", "QCheckBox", {455, 198, 69, 25}, "HEX发送", true},
        {"btnHid2Ser", "QPushButton", {456, 228, 75, 25}, "串口发送", true},
    };
    FormFixture fixture(FormFixture::Marker::File);
    auto* pages = fixture.Find<QTabWidget>("PageControl1");
    for (const ControlCase& control : controls) {
        QWidget* widget = fixture.Find(control.name);
        ASSERT_NE(widget, nullptr) << control.name;
        EXPECT_STREQ(widget->metaObject()->className(), control.className) << control.name;
        EXPECT_EQ(widget->geometry(), control.geometry) << control.name;
        if (control.caption != nullptr) {
            EXPECT_EQ(CaptionOf(widget).toStdString(), control.caption) << control.name;
        }
        // A control on a page is shown when its page is the current one.
        for (int page = 0; page < pages->count(); ++page) {
            if (pages->widget(page)->isAncestorOf(widget)) pages->setCurrentIndex(page);
        }
        EXPECT_EQ(widget->isVisibleTo(fixture.form.get()), control.shown) << control.name;
    }
    for (const char* ticked : {"chkAutoRun", "chkReceiveHex", "chkSendhex"}) {
        EXPECT_TRUE(fixture.Find<QCheckBox>(ticked)->isChecked()) << ticked;
    }
    EXPECT_FALSE(fixture.Find<QCheckBox>("chkUdp")->isChecked());
    EXPECT_EQ(fixture.Find<THexGrid>("HexGrid1")->DataSize(), 128);
    EXPECT_EQ(fixture.Find<QListWidget>("DevListBox")->count(), 0);
    // Fonts in pixels, as the window's own, so that they keep to the layout on any screen; the
    // layout's Windows families as this system resolves them (the same fonts, found at once).
    for (const auto& [name, family, pixels] :
         {std::tuple<const char*, const char*, int>{"Form1", "MS Sans Serif", 11},
          {"HexGrid1", "Courier New", 15},
          {"MemoRev", "MS Serif", 13},
          {"MemoSend", "MS Serif", 13}}) {
        const QFont font =
            std::string_view(name) == "Form1" ? fixture.form->font() : fixture.Find<QWidget>(name)->font();
        EXPECT_EQ(font.family(), ResolvedFamily(QFont(QString::fromLatin1(family)))) << name;
        EXPECT_EQ(QFontInfo(font).family(), QFontInfo(QFont(QString::fromLatin1(family))).family()) << name;
        EXPECT_EQ(font.pixelSize(), pixels) << name;
    }
}

TEST(FormLayout, WindowCaptionSizeFrameAndPages) {
    FormFixture fixture(FormFixture::Marker::File);
    TForm1& form = *fixture.form;
    EXPECT_EQ(form.objectName(), "Form1");
    EXPECT_EQ(form.windowTitle(), "Tavrel");
    EXPECT_EQ(form.size(), QSize(603, 531));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowSystemMenuHint);

    auto* pages = fixture.Find<QTabWidget>("PageControl1");
    std::vector<std::string> names;
    std::vector<std::string> captions;
    for (int i = 0; i < pages->count(); ++i) {
        names.push_back(pages->widget(i)->objectName().toStdString());
        captions.push_back(pages->tabText(i).toStdString());
    }
    EXPECT_THAT(names, ElementsAre("ts1", "ts2", "ts3", "TabSheet1", "TabSheet2", "TabSheet3"));
    EXPECT_THAT(captions, ElementsAre("脚本编辑器", "键鼠脚本服务器", "Dataflash", "About", "外设接口",
                                      "小键盘/自定义按键"));
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_TRUE(pages->widget(3)->children().isEmpty());  // About
    EXPECT_TRUE(pages->widget(5)->children().isEmpty());  // keypad / custom keys
}

TEST(HexGrid, WritesWithinItsDataOnly) {
    THexGrid grid;
    grid.SetDataSize(128);
    const std::vector<std::uint8_t> block(32, 0xAB);
    EXPECT_TRUE(grid.WriteBuffer(96, block));
    EXPECT_FALSE(grid.WriteBuffer(97, block));
    EXPECT_FALSE(grid.WriteBuffer(-1, block));
    EXPECT_EQ(grid.GetDataAt(96), 0xAB);
    EXPECT_EQ(grid.GetDataAt(127), 0xAB);
    EXPECT_EQ(grid.GetDataAt(95), 0x00);
    grid.Repaint();
    EXPECT_EQ(grid.model()->index(12, 0).data().toString(), "AB");
    EXPECT_EQ(grid.model()->headerData(15, Qt::Vertical).toString(), "0x78");
}

TEST(HexGrid, TypedBytesCanBeUndone) {
    THexGrid grid;
    grid.SetDataSize(16);
    ASSERT_TRUE(grid.model()->setData(grid.model()->index(1, 2), "7f", Qt::EditRole));
    EXPECT_EQ(grid.GetDataAt(10), 0x7F);
    EXPECT_FALSE(grid.model()->setData(grid.model()->index(1, 2), "zz", Qt::EditRole));
    grid.undoStack()->undo();
    EXPECT_EQ(grid.GetDataAt(10), 0x00);
    grid.undoStack()->redo();
    EXPECT_EQ(grid.GetDataAt(10), 0x7F);
    EXPECT_EQ(grid.undoStack()->undoLimit(), 100);
}

}  // namespace
}  // namespace tavrel
