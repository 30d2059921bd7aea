#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// "已回复"_gbk: a UTF-8 string literal turned into GBK bytes while compiling, so the sources
// stay readable UTF-8 and the core's texts are byte-exact GBK with any compiler. Characters
// outside ASCII and the GB2312 region of GBK do not compile.
namespace tavrel {

namespace gbk_detail {

struct CodePair {
    char32_t unicode;
    std::uint16_t gbk;
};

inline constexpr CodePair kGbkTable[] = {
#include "common/gbk_table.inc"
};

template <std::size_t N>
struct Utf8Literal {
    // NOLINTNEXTLINE(google-explicit-constructor): the literal operator needs the conversion.
    consteval Utf8Literal(const char (&text)[N]) { std::copy_n(text, N, chars.begin()); }
    std::array<char, N> chars{};
};

template <std::size_t N>
struct GbkBytes {
    std::array<char, N> bytes{};
    std::size_t size = 0;
};

constexpr std::uint16_t GbkCodeOf(char32_t unicode) {
    const auto* found = std::lower_bound(std::begin(kGbkTable), std::end(kGbkTable), unicode,
                                         [](const CodePair& pair, char32_t u) { return pair.unicode < u; });
    if (found == std::end(kGbkTable) || found->unicode != unicode) {
        throw "character outside the GBK table";  // fails the compile
    }
    return found->gbk;
}

template <std::size_t N>
consteval GbkBytes<N> ToGbk(const Utf8Literal<N>& literal) {
    GbkBytes<N> out;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(literal.chars[i]); };
    for (std::size_t i = 0; i + 1 < N;) {  // the last char is the terminating zero
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            out.bytes[out.size++] = static_cast<char>(lead);
            ++i;
            continue;
        }
        char32_t unicode = 0;
        std::size_t length = 0;
        if ((lead & 0xE0) == 0xC0) {
            unicode = lead & 0x1F;
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            unicode = lead & 0x0F;
            length = 3;
        } else {
            throw "character outside the GBK table";
        }
        for (std::size_t k = 1; k < length; ++k) {
            unicode = unicode << 6 | (byte(i + k) & 0x3F);
        }
        const std::uint16_t code = GbkCodeOf(unicode);
        out.bytes[out.size++] = static_cast<char>(code >> 8);
        out.bytes[out.size++] = static_cast<char>(code & 0xFF);
        i += length;
    }
    return out;
}

template <Utf8Literal Text>
inline constexpr auto kGbkLiteral = ToGbk(Text);

}  // namespace gbk_detail

template <gbk_detail::Utf8Literal Text>
constexpr std::string_view operator""_gbk() {
    return {gbk_detail::kGbkLiteral<Text>.bytes.data(), gbk_detail::kGbkLiteral<Text>.size};
}

}  // namespace tavrel
