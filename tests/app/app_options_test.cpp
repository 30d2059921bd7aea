#include "app/app_options.h"

#include <fstream>
#include <string>
#include <vector>

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tavrel {
namespace {

using ::testing::HasSubstr;

TEST(AppOptions, SimulateTraceHelpAndQtsOwn) {
    const struct {
        std::vector<std::string> args;
        std::optional<int> gadgets;
        std::string trace;
        bool help;
    } good[] = {
        {{}, std::nullopt, "", false},
        {{"--simulate"}, 1, "", false},
        {{"--simulate=0"}, 0, "", false},
        {{"--simulate=64", "--sim-trace", "t.txt"}, 64, "t.txt", false},
        {{"--sim-trace=t.txt", "--simulate=3"}, 3, "t.txt", false},
        {{"-platform", "offscreen", "--help"}, std::nullopt, "", true},
        {{"-reverse", "-style", "Fusion"}, std::nullopt, "", false},
        {{"--udp-bind", "127.0.0.1"}, std::nullopt, "", false},
    };
    for (const auto& c : good) {
        const AppOptions options = ParseAppOptions(c.args);
        EXPECT_EQ(options.error, "") << testing::PrintToString(c.args);
        EXPECT_EQ(options.platform.simulatedGadgets, c.gadgets) << testing::PrintToString(c.args);
        EXPECT_EQ(options.platform.simTrace, c.trace);
        EXPECT_EQ(options.help, c.help);
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--simulate=65"},
                                               {"--simulate=-1"},
                                               {"--simulate=x"},
                                               {"--simulate=+2"},
                                               {"--simulate= 2"},
                                               {"--simulate=2 "},
                                               {"--sim-trace", "t.txt"},
                                               {"--simulate", "--sim-trace"},
                                               {"--frobnicate"},
                                               {"stray"},
                                               {"-platform"},
                                               {"--udp-bind", "localhost"},
                                               {"--udp-bind=256.0.0.1"},
                                               {"--udp-bind=1.2.3"},
                                               {"--udp-bind=::1"},
                                               {"--udp-bind=255.255.255.255"},
                                               {"--udp-bind=239.1.2.3"},
                                               {"--udp-bind"},
                                               {"--udp-keys"},
                                               {"--sim-state", "state.txt"},
                                               {"--simulate", "--sim-state"},
                                               {"--simulate", "--sim-state="},
                                               {"--udp-keys="}}) {
        EXPECT_NE(ParseAppOptions(args).error, "") << testing::PrintToString(args);
    }
}

TEST(AppOptions, UdpBindTakesOneDottedAddress) {
    EXPECT_EQ(ParseAppOptions(std::vector<std::string>{"--udp-bind=127.0.0.1"}).udpBind, "127.0.0.1");
    EXPECT_EQ(ParseAppOptions(std::vector<std::string>{"--udp-bind", "10.0.0.255"}).udpBind, "10.0.0.255");
    EXPECT_EQ(ParseAppOptions(std::vector<std::string>{"--udp-keys", "keys"}).udpKeys, "keys");
    EXPECT_EQ(ParseAppOptions(std::vector<std::string>{"--udp-keys=/etc/k"}).udpKeys, "/etc/k");
    EXPECT_EQ(
        ParseAppOptions(std::vector<std::string>{"--simulate", "--sim-state", "s.txt"}).platform.simState,
        "s.txt");
}

// The window's options are declared once: its usage and its manual page's synopsis name each of
// them (the test fails when an option is added to one and not to the others).
TEST(AppOptions, UsageAndManualPageNameEveryOption) {
    std::ifstream file(std::string(TAVREL_SOURCE_DIR) + "/dist/linux/man/tavrel.1");
    const std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t start = page.find(".SH SYNOPSIS");
    ASSERT_NE(start, std::string::npos);
    std::string synopsis = page.substr(start, page.find(".SH ", start + 1) - start);
    for (std::size_t at; (at = synopsis.find("\\-")) != std::string::npos;)
        synopsis.replace(at, 2, "-");
    for (const OptionDef* def : AppOptionDefs()) {
        if (def->hidden) continue;
        EXPECT_THAT(std::string(AppUsage()), HasSubstr("  " + def->Written())) << def->name;
        EXPECT_THAT(synopsis, HasSubstr(std::string(def->name))) << def->name;
    }
}

QString Tavrel() {
    return QStringLiteral(TAVREL_APP_BINARY);
}

TEST(AppOptions, HelpNeedsNoDisplayAndBadOptionsExitTwo) {
    QProcess help;
    help.setProcessEnvironment(QProcessEnvironment());  // no display, no platform chosen
    help.start(Tavrel(), {"--help"});
    ASSERT_TRUE(help.waitForFinished(30000));
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_THAT(help.readAllStandardOutput().toStdString(), HasSubstr("--simulate"));

    QProcess bad;
    bad.start(Tavrel(), {"--simulate=99"});
    ASSERT_TRUE(bad.waitForFinished(30000));
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_THAT(bad.readAllStandardError().toStdString(), HasSubstr("Usage: tavrel"));
}

// The tool with a simulated gadget traces what the gadget receives: at start-up, the request for
// its identifier.
TEST(AppOptions, TheSimulatedGadgetsReportsAreTraced) {
    QTemporaryDir folder;
    const QString trace = folder.filePath("trace.txt");
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    tool.setProcessEnvironment(environment);
    tool.start(Tavrel(), {"--simulate=2", "--sim-trace", trace});
    std::string content;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            std::ifstream file(trace.toStdString());
            content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            return content.find('\n') != std::string::npos;  // a whole line
        },
        30000));
    const std::string line = content.substr(0, content.find('\n'));
    tool.kill();
    tool.waitForFinished(10000);
    std::string expected = "sim:gadget-1\t00 22";
    for (int i = 2; i < 65; ++i)
        expected += " 00";
    EXPECT_EQ(line, expected);
}

}  // namespace
}  // namespace tavrel
