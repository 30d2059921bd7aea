#include "remote/key_file.h"

#include <string>

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kKey32 = "00112233445566778899aabbccddeeff";

TEST(KeyFile, ReadsIdentitiesAndKeysPastCommentsBlankLinesAndCarriageReturns) {
    KeySet keys;
    const std::string text =
        "# rack 7\n\n  rig-7\t" + kKey32 + "\r\nrig-8 " + std::string(128, 'F') + "\n   # done";
    ASSERT_EQ(ParseKeyText(text, keys), std::nullopt);
    ASSERT_EQ(keys.Size(), 2u);
    ASSERT_NE(keys.Find("rig-7"), nullptr);
    EXPECT_EQ(*keys.Find("rig-7"),
              std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff", 16));
    EXPECT_EQ(keys.Find("rig-8")->size(), 64u);
    EXPECT_EQ(keys.Find("rig-9"), nullptr);
}

// Every bad line names its number and reason and never shows the key or a part of it.
TEST(KeyFile, ABadLineIsRefusedWithItsNumberAndNeverShowsTheKey) {
    const std::string secret = "0123456789abcdef0123456789abcdef";
    struct Case {
        std::string line;
        std::string reason;
    };
    const Case cases[] = {
        {"rig-7", "line 2: an identity without a key (expected IDENTITY KEY)"},
        {"rig-7 " + secret + " extra", "line 2: more than IDENTITY KEY on the line"},
        {"rig-7 " + secret.substr(0, 30) + "xz", "line 2: the key holds a character that is not a hex digit"},
        {"rig-7 " + secret + "0", "line 2: the key has an odd number of hex digits"},
        {"rig-7 " + secret.substr(0, 30), "line 2: the key has 30 hex digits, not 32 to 128"},
        {"rig-7 " + secret + secret + secret + secret + "00",
         "line 2: the key has 130 hex digits, not 32 to 128"},
        {std::string(65, 'r') + " " + secret, "line 2: the identity has 65 characters, more than 64"},
        {"r\xC3\xA4g " + secret, "line 2: the identity holds a character that is not printable ASCII"},
        {"rig-6 " + secret, "line 2: the identity 'rig-6' is given twice"},
    };
    for (const Case& c : cases) {
        KeySet keys;
        keys.Add("kept", "k");
        const auto error = ParseKeyText("rig-6 " + kKey32 + "\n" + c.line + "\n", keys);
        ASSERT_TRUE(error.has_value()) << c.line;
        EXPECT_EQ(*error, c.reason);
        EXPECT_THAT(*error, Not(HasSubstr(secret.substr(0, 8))));
        EXPECT_NE(keys.Find("kept"), nullptr) << "a bad file changes nothing";
    }
}

class KeyFileOnDisk : public ::testing::Test {
protected:
    std::string Write(mode_t mode, const std::string& text) {
        const std::string path =
            ::testing::TempDir() + "keys_" + std::to_string(::getpid()) + "_" + std::to_string(mode);
        ::unlink(path.c_str());
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        ::chmod(path.c_str(), mode);
        return path;
    }
};

TEST_F(KeyFileOnDisk, OthersMayNotReadAndOnlyTheOwnerMayWriteWhileTheGroupMayRead) {
    for (const mode_t mode : {0600, 0640, 0400, 0440}) {
        KeySet keys;
        EXPECT_EQ(LoadKeyFile(Write(mode, "rig-7 " + kKey32 + "\n"), keys), std::nullopt) << std::oct << mode;
        EXPECT_EQ(keys.Size(), 1u);
    }
    for (const mode_t mode : {0644, 0604, 0660, 0620, 0602, 0601}) {
        KeySet keys;
        const std::string path = Write(mode, "rig-7 " + kKey32 + "\n");
        EXPECT_EQ(LoadKeyFile(path, keys), path + " may be read by others: chmod o-rwx,g-w " + path)
            << std::oct << mode;
        EXPECT_EQ(keys.Size(), 0u);
    }
}

TEST_F(KeyFileOnDisk, AFileThatCannotBeReadOrHasABadLineSaysSoWithItsName) {
    KeySet keys;
    const std::string path = Write(0600, "rig-7 " + kKey32 + "\nrig-8 00\n");
    EXPECT_EQ(LoadKeyFile(path, keys), path + ", line 2: the key has 2 hex digits, not 32 to 128");
    EXPECT_EQ(LoadKeyFile(path + ".missing", keys),
              "cannot read " + path + ".missing: No such file or directory");
    EXPECT_EQ(
        LoadKeyFile(::testing::TempDir(), keys).value_or("").find("not a regular file") != std::string::npos,
        true);
    EXPECT_EQ(LoadKeyFile("a\nb", keys), "cannot read a\\nb: No such file or directory") << "escaped";
}

}  // namespace
}  // namespace tavrel
