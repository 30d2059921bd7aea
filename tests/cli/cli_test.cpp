#include "cli/cli.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/gbk_literal.h"
#include "support/fake_sysfs.h"

namespace tavrel {
namespace {

using ::testing::HasSubstr;

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun RunWith(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunCli(args, in, out, err);
    return {status, out.str(), err.str()};
}

const std::string kDataDir = TAVREL_TEST_DATA_DIR;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(Cli, CompilesAFileToByteTextWithMessagesOnStandardError) {
    const CliRun run = RunWith({"compile", kDataDir + "/initial_script.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ReadFile(kDataDir + "/initial_script.hex"));
    EXPECT_EQ(run.err, "goto\n翻译完毕，共8行脚本\n");
}

TEST(Cli, CompileOptions) {
    const std::string script = "按键：A\r\n鼠标：单击\r\n";  // CR LF; the final line break starts no line
    EXPECT_EQ(RunWith({"compile", "--no-autorun", "--version", "255"}, script).out,
              "E0 02 FF \n20 04 00 \n41 00 00 \n");
    EXPECT_EQ(RunWith({"compile", "--version=7", "-"}, script).out, "E1 02 07 \n20 04 00 \n41 00 00 \n");
    // The version record holds one byte: anything that is not a whole number from 0 to 255 would
    // store something else than was asked for.
    for (const char* version : {"300", "256", "-1", "abc", "", "1.5"}) {
        const CliRun badVersion = RunWith({"compile", "--version", version}, script);
        EXPECT_EQ(badVersion.status, 2) << version;
        EXPECT_EQ(badVersion.out, "");
        EXPECT_EQ(badVersion.err, "tavrel-cli: --version takes a whole number from 0 to 255, not '" +
                                      std::string(version) + "'\nTry 'tavrel-cli --help'.\n");
    }
    // A blank last line is a line; an empty input has none.
    EXPECT_EQ(RunWith({"compile"}, "按键：A\n\n").err, "翻译完毕，共1行脚本\n");
    EXPECT_EQ(RunWith({"compile"}, "").out, "E1 00 01 \n");
}

TEST(Cli, GbkEncodingInAndOut) {
    const std::string script = std::string("键盘：中"_gbk) + "\n" + std::string("按键：b"_gbk) + "\n";
    const CliRun run = RunWith({"compile", "--encoding", "gbk"}, script);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "E1 01 01 \n20 05 00 \n");
    EXPECT_EQ(run.err,
              std::string("无法识别键盘值：中"_gbk) + "\n" + std::string("翻译完毕，共1行脚本"_gbk) + "\n");
}

TEST(Cli, ListsByteTextOnStandardOutput) {
    const CliRun run = RunWith({"list"}, "E1 08 01\r\n\r\nE1 08\n60 2E E0");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "脚本不正确：e1 08\n第1行:E1 08 01\n版本\n8\n1\n第2行:60 2E E0\n延时\n12000\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(RunWith({"list", "--encoding=gbk"}, "A0 02 00\n").out,
              std::string("第1行:A0 02 00"_gbk) + "\n" + std::string("转跳"_gbk) + "\n2\n");
}

TEST(Cli, HelpAndVersion) {
    for (const auto& args : {std::vector<std::string>{"--help"}, {"-h"}, {"compile", "--help"}}) {
        const CliRun run = RunWith(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(
            run.out,
            HasSubstr("tavrel-cli compile [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [--json] [FILE|-]"));
    }
    const CliRun version = RunWith({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.out, HasSubstr("tavrel-cli " TAVREL_VERSION));
}

TEST(Cli, BadArgumentsAndUnreadableInputExitTwoWithAMessage) {
    const std::string missing = (std::filesystem::temp_directory_path() / "tavrel-no-such-file.txt").string();
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "no command given"},
        {{"run"}, "unknown command 'run'"},
        {{"compile", "--encoding", "latin1"}, "unknown encoding 'latin1'"},
        {{"compile", "--encoding"}, "option --encoding needs a value"},
        {{"compile", "--version"}, "option --version needs a value"},
        {{"list", "--version", "2"}, "unknown option '--version' for list"},
        {{"list", "--no-autorun"}, "unknown option '--no-autorun' for list"},
        {{"compile", "-x"}, "unknown option '-x'"},
        {{"compile", "a.txt", "b.txt"}, "more than one input file given"},
        {{"compile", missing}, "cannot read"},
        {{"list", std::filesystem::temp_directory_path().string()}, "cannot read"},
    };
    for (const auto& [args, message] : cases) {
        const CliRun run = RunWith(args);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_THAT(run.err, HasSubstr(message));
        EXPECT_EQ(run.out, "");
    }
}

TEST(Cli, InputThatCannotBecomeGbkIsRefusedWithItsLine) {
    const CliRun invalid = RunWith({"compile"}, "按键：A\n\xFF\xFE\n");
    EXPECT_EQ(invalid.status, 2);
    EXPECT_THAT(invalid.err, HasSubstr("standard input, line 2: not valid UTF-8"));
    const CliRun emoji = RunWith({"compile"}, "按键：😀\n");
    EXPECT_EQ(emoji.status, 2);
    EXPECT_THAT(emoji.err, HasSubstr("line 1: holds a character that GBK cannot represent"));
    // A byte order mark is no part of the first line.
    EXPECT_EQ(RunWith({"compile"}, "\xEF\xBB\xBF按键：A\n").out, "E1 01 01 \n20 04 00 \n");
}

}  // namespace
}  // namespace tavrel

namespace tavrel {
namespace {

TEST(CliDevices, ListsSimulatedInterfacesWithTheGadgetFilter) {
    const CliRun run = RunWith({"devices", "--simulate=2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "sim:gadget-1\tVID=4132 PID=0001\tin=65\tout=65\tgadget\trw\t-\tTavrel USB Gadget\n"
              "sim:gadget-2\tVID=4132 PID=0001\tin=65\tout=65\tgadget\trw\t-\tTavrel USB Gadget\n"
              "sim:mouse-1\tVID=1209 PID=0002\tin=5\tout=0\t-\trw\t-\tUSB Optical Mouse\n"
              "sim:vendor-1\tVID=4132 PID=0001\tin=63\tout=63\t-\trw\t-\tTavrel USB Vendor Interface\n");
    EXPECT_EQ(run.err, "4 HID interfaces, 2 gadgets\n");
    EXPECT_THAT(RunWith({"devices", "--simulate"}).out, HasSubstr("sim:gadget-1\t"));
    EXPECT_THAT(RunWith({"devices", "--simulate=0"}).out, ::testing::Not(HasSubstr("gadget\t")));
}

// One line per interface whatever its strings hold, with its access and the cause of a refusal; an
// interface without its device node is no interface at all.
TEST(CliDevices, ListsTheInterfacesOfAKernelTree) {
    test::FakeKernelTree tree;
    test::FakeHidDevice gadget;
    gadget.hidrawNumber = 0;
    gadget.reportDescriptor = test::DescriptorFromTestData("vendor_64_byte.hex");
    gadget.product = "Tavrel USB Gadget";
    test::FakeHidDevice keyboard;
    keyboard.hidrawNumber = 3;
    keyboard.vendorId = 0x046D;
    keyboard.productId = 0xC31C;
    keyboard.reportDescriptor = test::DescriptorFromTestData("boot_keyboard.hex");
    keyboard.product = "USB\tKey\nboard\\\x01\x7f\u0085键";
    test::FakeHidDevice locked = gadget;
    locked.hidrawNumber = 4;
    locked.node = test::FakeHidDevice::Node::LockedPty;
    test::FakeHidDevice nodeless = gadget;
    nodeless.hidrawNumber = 5;
    nodeless.node = test::FakeHidDevice::Node::None;
    for (const auto& device : {gadget, keyboard, locked, nodeless})
        tree.Plug(device);

    const CliRun run = RunWith({"devices", "--sysfs-root", tree.sysfsRoot(), "--dev-root=" + tree.devRoot()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              tree.NodePath(0) + "\tVID=4132 PID=0001\tin=65\tout=65\tgadget\trw\t-\tTavrel USB Gadget\n" +
                  tree.NodePath(3) +
                  "\tVID=046D PID=C31C\tin=9\tout=2\t-\trw\t-\tUSB\\tKey\\nboard\\\\\\x01\\x7F\\x85键\n" +
                  tree.NodePath(4) +
                  "\tVID=4132 PID=0001\tin=65\tout=65\tgadget\tquery-only\tInput/output error\tTavrel USB "
                  "Gadget\n");
    EXPECT_EQ(run.err, "3 HID interfaces, 2 gadgets\n");

    const CliRun nowhere = RunWith({"devices", "--sysfs-root", tree.sysfsRoot() + "/missing"});
    EXPECT_EQ(nowhere.status, 0);
    EXPECT_EQ(nowhere.err,
              "tavrel-cli: no HID access here (" + tree.sysfsRoot() + "/missing/class is missing)\n");
}

TEST(CliDevices, BadOptionsExitTwo) {
    for (const auto& args : {std::vector<std::string>{"devices", "--simulate=x"},
                             {"devices", "--simulate=-1"},
                             {"devices", "--sysfs-root"},
                             {"devices", "--frobnicate"}}) {
        const CliRun run = RunWith(args);
        EXPECT_EQ(run.status, 2) << args[1];
        EXPECT_THAT(run.err, HasSubstr("tavrel-cli: ")) << args[1];
    }
}

}  // namespace
}  // namespace tavrel
