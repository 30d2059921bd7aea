#include <stdexcept>

#include <QEventLoop>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/app_support.h"
#include "app/form_fixture.h"
#include "common/gbk_literal.h"
#include "common/local_time.h"

namespace tavrel {
namespace {

using test::FormFixture;
using ::testing::ElementsAre;

std::vector<bool> TabsShown(const FormFixture& fixture) {
    auto* pages = fixture.Find<QTabWidget>("PageControl1");
    std::vector<bool> shown;
    for (int i = 0; i < pages->count(); ++i)
        shown.push_back(pages->isTabVisible(i));
    return shown;
}

TEST(Startup, ProductionModeWithAMarkerFile) {
    FormFixture fixture(FormFixture::Marker::File);
    EXPECT_THAT(TabsShown(fixture), ElementsAre(true, true, true, true, true, true));
    EXPECT_TRUE(fixture.Find("btnparsesc")->isVisibleTo(fixture.form.get()));
    EXPECT_THAT(fixture.LogTexts(), ElementsAre(" ", "使用说明：", "", "", "生产模式", BuildDateText()));
}

TEST(Startup, OrdinaryModeWithoutAMarkerOrWithAFolderOfThatName) {
    for (const auto marker : {FormFixture::Marker::None, FormFixture::Marker::Folder}) {
        FormFixture fixture(marker);
        EXPECT_THAT(TabsShown(fixture), ElementsAre(true, false, false, false, false, false));
        EXPECT_FALSE(fixture.Find("btnparsesc")->isVisibleTo(fixture.form.get()));
        EXPECT_THAT(fixture.LogTexts(), ElementsAre(" ", "使用说明：", "", "", BuildDateText()));
        // Hidden pages keep their controls.
        EXPECT_NE(fixture.Find("edtDevid"), nullptr);
    }
}

TEST(Startup, BuildDateText) {
    EXPECT_EQ(BuildDateTextFrom("Oct  9 2021"), "2021-10-09");
    EXPECT_EQ(BuildDateTextFrom("Dec 31 1999"), "1999-12-31");
    EXPECT_EQ(BuildDateTextFrom("Foo  9 2021"), "");
    EXPECT_EQ(BuildDateTextFrom(""), "");
    EXPECT_THAT(BuildDateText(), ::testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]"));
}

TEST(LogBox, EachLineIsTimeStampColonBlankText) {
    FormFixture fixture(FormFixture::Marker::None);
    fixture.MarkLog();
    fixture.form->LogLine("");
    fixture.form->LogLine("已回复64"_gbk);
    const auto lines = fixture.Lines("Memo1");
    ASSERT_GE(lines.size(), 2u);
    const std::string stamp = LocalTimeText().substr(0, 4);  // the date's beginning
    EXPECT_EQ(lines[lines.size() - 2].substr(0, 4), stamp);
    EXPECT_TRUE(lines[lines.size() - 2].ends_with(": ")) << lines[lines.size() - 2];
    EXPECT_TRUE(lines.back().ends_with(": 已回复64"));
}

TEST(LogBox, TraceLineWithoutADebuggerLeavesTheLogAlone) {
    FormFixture fixture(FormFixture::Marker::None);
    fixture.MarkLog();
    fixture.form->TraceLine("trace");
    EXPECT_TRUE(fixture.NewLogTexts().empty());
}

TEST(LogBox, KeepsEveryLine) {
    FormFixture fixture(FormFixture::Marker::None);
    fixture.MarkLog();
    for (int i = 0; i < 5000; ++i)
        fixture.form->LogLine(std::to_string(i));
    const auto texts = fixture.NewLogTexts();
    ASSERT_EQ(texts.size(), 5000u);
    EXPECT_EQ(texts.back(), "4999");
}

// An error escaping an event handler is shown in a message box and the event loop goes on.
TEST(ErrorPolicy, AnErrorFromAHandlerIsShownAndTheLoopGoesOn) {
    QString shown;
    QTimer::singleShot(0, [] { throw std::runtime_error("端口已被占用"); });
    QTimer::singleShot(50, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            box->accept();
        }
    });
    bool after = false;
    QEventLoop loop;
    QTimer::singleShot(100, [&] {
        after = true;
        loop.quit();
    });
    loop.exec();
    EXPECT_EQ(shown.toStdString(), "端口已被占用");
    EXPECT_TRUE(after) << "the loop went on";
}

}  // namespace
}  // namespace tavrel
