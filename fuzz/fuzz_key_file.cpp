// The key file's parser over arbitrary bytes. A text is read whole or refused with "line N:
// REASON"; what it reads holds identities of 1 to 64 printable ASCII characters and keys of 16 to
// 64 bytes; a refusal never shows a key: its reason is one of the parser's own texts, or quotes a
// word that stands first on a line (an identity given twice).

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "remote/key_file.h"

namespace {

using tavrel::fuzz::Check;

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    tavrel::KeySet keys;
    keys.Add("before", "k");
    const auto error = tavrel::ParseKeyText(text, keys);
    if (!error) {
        for (const auto& [identity, key] : keys.Keys()) {
            Check(!identity.empty() && identity.size() <= tavrel::KeySet::kMaxIdentity);
            for (const char c : identity)
                Check(c > 0x20 && c < 0x7F);
            Check(key.size() >= 16 && key.size() <= 64);
        }
        return 0;
    }
    Check(error->starts_with("line "));
    Check(keys.Find("before") != nullptr);  // a refused text changes nothing
    // The reason after "line N: " is one of the parser's own texts with numbers in it, or quotes an
    // identity that stands first on a line: nothing else of the text, and so no key, is ever shown.
    const std::size_t colon = error->find(": ");
    Check(colon != std::string::npos);
    const std::string reason = error->substr(colon + 2);
    const std::string twicePrefix = "the identity '";
    const std::string twiceSuffix = "' is given twice";
    if (reason.starts_with(twicePrefix) && reason.ends_with(twiceSuffix)) {
        const std::string quoted =
            reason.substr(twicePrefix.size(), reason.size() - twicePrefix.size() - twiceSuffix.size());
        bool first = false;
        std::size_t start = 0;
        while (start <= text.size() && !first) {
            const std::size_t end = text.find('\n', start);
            const std::vector<std::string_view> words =
                Words(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
            first = !words.empty() && words[0] == quoted;
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
        Check(first);
        return 0;
    }
    std::string shape;
    for (std::size_t i = 0; i < reason.size(); ++i) {
        if (reason[i] >= '0' && reason[i] <= '9') {
            if (shape.empty() || shape.back() != 'N') shape.push_back('N');
        } else {
            shape.push_back(reason[i]);
        }
    }
    static const std::set<std::string> kShapes = {
        "an identity without a key (expected IDENTITY KEY)",
        "more than IDENTITY KEY on the line",
        "the identity has N characters, more than N",
        "the identity holds a character that is not printable ASCII",
        "the key holds a character that is not a hex digit",
        "the key has an odd number of hex digits",
        "the key has N hex digits, not N to N",
    };
    Check(kShapes.count(shape) == 1);
    return 0;
}
