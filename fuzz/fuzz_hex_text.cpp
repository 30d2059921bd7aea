// Hex text reading over arbitrary bytes: both forms of HexTextToBytes must agree, a place of any
// size must hold exactly the first bytes, and BytesToHexText must read back to the same bytes.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex_text.h"
#include "fuzz_check.h"

namespace {

using tavrel::fuzz::Check;

constexpr std::uint8_t kUntouched = 0xA5;

// Reads `text` into a place of `placeSize` bytes and checks it against `bytes`, every byte the text holds.
void CheckPlaceOfSize(std::string_view text, const std::vector<std::uint8_t>& bytes, std::size_t placeSize) {
    std::vector<std::uint8_t> place(placeSize, kUntouched);
    const std::size_t count = tavrel::HexTextToBytes(text, place);
    Check(count == bytes.size());
    const std::size_t stored = std::min(count, placeSize);
    Check(std::equal(place.begin(), place.begin() + static_cast<std::ptrdiff_t>(stored), bytes.begin()));
    Check(std::all_of(place.begin() + static_cast<std::ptrdiff_t>(stored), place.end(),
                      [](std::uint8_t byte) { return byte == kUntouched; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::uint8_t> bytes = tavrel::HexTextToBytes(text);
    // Every byte takes two characters of the text.
    Check(bytes.size() <= size / 2);

    // No place, a script record, a raw keyboard report, exactly enough, and room to spare.
    for (const std::size_t placeSize :
         {std::size_t{0}, std::size_t{3}, std::size_t{8}, bytes.size(), bytes.size() + 5}) {
        CheckPlaceOfSize(text, bytes, placeSize);
    }

    const std::string hexText = tavrel::BytesToHexText(bytes);
    Check(hexText.size() == 3 * bytes.size());
    Check(tavrel::HexTextToBytes(hexText) == bytes);
    return 0;
}
