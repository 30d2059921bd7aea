#include <string>

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <QUdpSocket>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/form_fixture.h"
#include "support/log_collector.h"

// The UDP script server page of the window, fed over loopback.
namespace tavrel {
namespace {

using test::FormFixture;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class ScriptServerPage : public ::testing::Test {
protected:
    ScriptServerPage() {
        fixture.Find<QLineEdit>("edtUdpPort")->setText(QStringLiteral("0"));  // the system picks
        fixture.Find<QCheckBox>("chkUdp")->setChecked(true);
        port = fixture.form->ScriptServer().Udp1()->BoundPort();
        EXPECT_TRUE(AwaitLog("DeviceChange")) << "the start-up scan is done";
        fixture.MarkLog();
    }
    void SendLine(const char* utf8) {
        const std::string gbk = test::Utf8ToGbk(utf8);
        ASSERT_EQ(
            sender.writeDatagram(gbk.data(), static_cast<qint64>(gbk.size()), QHostAddress::LocalHost, port),
            static_cast<qint64>(gbk.size()));
    }
    bool AwaitLog(const std::string& text) {
        return QTest::qWaitFor(
            [&] {
                const auto lines = fixture.NewLogTexts();
                return std::find(lines.begin(), lines.end(), text) != lines.end();
            },
            10000);
    }

    FormFixture fixture{FormFixture::Marker::File};
    QUdpSocket sender;
    quint16 port = 0;
};

// A datagram with line breaks is one line of the log box, however it tries to look like more.
TEST_F(ScriptServerPage, ALineBreakInADatagramCannotForgeALogLine) {
    ASSERT_NE(port, 0);
    SendLine("按键：C\r\nDEVID: 305419896");
    ASSERT_TRUE(AwaitLog("执行脚本：按键：C\\r\\nDEVID: 305419896"));
    SendLine("foo\n2024-01-01 12:00:00: DEVID: 1");
    ASSERT_TRUE(AwaitLog("执行脚本：foo\\n2024-01-01 12:00:00: DEVID: 1"));
    // As many lines in the box as entries logged: the line breaks began none. With no gadget
    // selected, "请选择设备" follows the line it belongs to.
    EXPECT_THAT(
        fixture.NewLogTexts(),
        ElementsAre("收到UDP数据", "执行脚本：按键：C\\r\\nDEVID: 305419896", "请选择设备", "收到UDP数据",
                    "执行脚本：foo\\n2024-01-01 12:00:00: DEVID: 1", StartsWith("未知指令：foo\\n")));
}

}  // namespace
}  // namespace tavrel
