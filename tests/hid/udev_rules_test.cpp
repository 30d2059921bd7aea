#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "commands/command_codes.h"

namespace tavrel {
namespace {

// The packaged udev rule grants access to the gadget's hidraw nodes; it must name the vendor id the
// tool looks for. The user at the seat gets them (uaccess), and so does group plugdev, read and
// write for the group and nothing for others, which is how the tavrel-serve service's user opens them.
TEST(UdevRules, GrantAccessToTheGadgetsVendorId) {
    const std::string path = std::string(TAVREL_TEST_DATA_DIR) + "/../../dist/linux/70-tavrel.rules";
    std::ifstream rules(path);
    ASSERT_TRUE(rules) << path;

    // udev compares ATTRS{idVendor} with sysfs text, which is four lower-case hex digits.
    const std::regex vendor(R"re(ATTRS\{idVendor\}=="([0-9a-f]{4})")re");
    int hidrawRules = 0;
    std::string line;
    while (std::getline(rules, line)) {
        if (line.empty() || line[0] == '#' || line.find(R"(KERNEL=="hidraw*")") == std::string::npos) {
            continue;
        }
        ++hidrawRules;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, vendor)) << line;
        EXPECT_EQ(std::stoul(match[1].str(), nullptr, 16), kGadgetVendorId) << line;
        EXPECT_NE(line.find(R"(TAG+="uaccess")"), std::string::npos) << line;
        EXPECT_NE(line.find(R"(GROUP="plugdev")"), std::string::npos) << line;
        EXPECT_NE(line.find(R"(MODE="0660")"), std::string::npos) << line;
    }
    EXPECT_GE(hidrawRules, 1) << "no hidraw rule in " << path;
}

}  // namespace
}  // namespace tavrel
