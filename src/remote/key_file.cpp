#include "remote/key_file.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/gbk_text.h"
#include "common/text_escape.h"

namespace tavrel {

namespace {

constexpr std::size_t kMaxFileSize = 1024 * 1024;

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && Blank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !Blank(line[i]))
            ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The reason a line is bad, none when it is good (its key then added to `keys`).
std::optional<std::string> ParseKeyLine(std::string_view line, KeySet& keys) {
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0].starts_with('#')) return std::nullopt;
    if (words.size() == 1) return std::string("an identity without a key (expected IDENTITY KEY)");
    if (words.size() > 2) return std::string("more than IDENTITY KEY on the line");
    const std::string_view identity = words[0];
    const std::string_view digits = words[1];
    if (identity.size() > KeySet::kMaxIdentity) {
        return "the identity has " + std::to_string(identity.size()) + " characters, more than " +
               std::to_string(KeySet::kMaxIdentity);
    }
    for (const char c : identity) {
        if (c < 0x21 || c > 0x7E)
            return std::string("the identity holds a character that is not printable ASCII");
    }
    std::string key;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (HexValue(digits[i]) < 0) return std::string("the key holds a character that is not a hex digit");
    }
    if (digits.size() % 2 != 0) return std::string("the key has an odd number of hex digits");
    if (digits.size() < KeySet::kMinKeyDigits || digits.size() > KeySet::kMaxKeyDigits) {
        return "the key has " + std::to_string(digits.size()) + " hex digits, not " +
               std::to_string(KeySet::kMinKeyDigits) + " to " + std::to_string(KeySet::kMaxKeyDigits);
    }
    for (std::size_t i = 0; i < digits.size(); i += 2)
        key.push_back(static_cast<char>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1])));
    if (!keys.Add(std::string(identity), std::move(key)))
        return "the identity '" + std::string(identity) + "' is given twice";
    return std::nullopt;
}

std::string SystemReason(int error) {
    return std::strerror(error);
}

}  // namespace

const std::string* KeySet::Find(std::string_view identity) const {
    const auto found = m_keys.find(identity);
    return found == m_keys.end() ? nullptr : &found->second;
}

std::optional<std::string> ParseKeyText(std::string_view text, KeySet& keys) {
    KeySet parsed;
    std::size_t number = 0;
    for (const std::string& line : SplitLines(text)) {
        ++number;
        if (auto reason = ParseKeyLine(line, parsed))
            return "line " + std::to_string(number) + ": " + *reason;
    }
    keys = std::move(parsed);
    return std::nullopt;
}

std::optional<std::string> LoadKeyFile(const std::string& path, KeySet& keys) {
    const std::string name = EscapeControlCharacters(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return "cannot read " + name + ": " + SystemReason(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // The descriptor's own status: the file read is the file judged.
    struct stat status {};
    if (::fstat(fd, &status) != 0) return "cannot read " + name + ": " + SystemReason(errno);
    if (!S_ISREG(status.st_mode)) return "cannot read " + name + ": not a regular file";
    if ((status.st_mode & (S_IROTH | S_IWOTH | S_IXOTH | S_IWGRP)) != 0)
        return name + " may be read by others: chmod o-rwx,g-w " + name;
    if (static_cast<std::size_t>(status.st_size) > kMaxFileSize)
        return "cannot read " + name + ": larger than 1 MiB";
    std::string text;
    std::array<char, 8192> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return "cannot read " + name + ": " + SystemReason(errno);
        if (got == 0) break;
        text.append(buffer.data(), static_cast<std::size_t>(got));
        if (text.size() > kMaxFileSize) return "cannot read " + name + ": larger than 1 MiB";
    }
    if (auto reason = ParseKeyText(text, keys)) return name + ", " + *reason;
    return std::nullopt;
}

}  // namespace tavrel
