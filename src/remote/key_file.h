#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel {

// The pre-shared keys of the senders a DTLS line server takes lines from, by identity.
class KeySet {
public:
    static constexpr std::size_t kMaxIdentity = 64;
    static constexpr std::size_t kMinKeyDigits = 32;
    static constexpr std::size_t kMaxKeyDigits = 128;

    // The key of `identity` (its bytes); none for an identity not held.
    const std::string* Find(std::string_view identity) const;
    std::size_t Size() const { return m_keys.size(); }
    bool Add(std::string identity, std::string key) {
        return m_keys.emplace(std::move(identity), std::move(key)).second;
    }
    const std::map<std::string, std::string, std::less<>>& Keys() const { return m_keys; }

private:
    std::map<std::string, std::string, std::less<>> m_keys;
};

// Reads the text of a key file: one "IDENTITY KEY" per line (blanks or tabs between; a CR before the
// line end is dropped), IDENTITY 1 to 64 printable ASCII characters, unique, KEY an even number of
// hex digits, 32 to 128; lines that are blank or start with '#' (after blanks) say nothing. Gives
// "line N: REASON" for the first bad line; no reason ever shows a key or a part of one.
std::optional<std::string> ParseKeyText(std::string_view text, KeySet& keys);

// Reads the key file at `path`: refused when others may read it or anyone but its owner may write
// it (group read is allowed), when it cannot be read, is no regular file or is larger than 1 MiB,
// or has a bad line. The reason names the file (control characters escaped): "FILE, line N:
// REASON", "FILE may be read by others: chmod o-rwx,g-w FILE", "cannot read FILE: REASON".
std::optional<std::string> LoadKeyFile(const std::string& path, KeySet& keys);

}  // namespace tavrel
