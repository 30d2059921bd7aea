// The command line's data flash input and the quoting of outside text in its messages, over
// arbitrary bytes. The first byte picks the form (either, raw, hex); the rest is the input.
// A reading gives exactly 128 bytes or a reason, never both; raw bytes are taken as they are only
// when they cannot be hex text; what hex text gives reads back from its own hex text; and no
// message, escape or quote carries a control character, while an escape reads back to the text,
// GBK text escaped included, read character by character as GBK.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "commands/data_flash_input.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "common/text_escape.h"
#include "fuzz_check.h"

namespace {

using tavrel::DataFlashInputForm;
using tavrel::fuzz::Check;

bool HasControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) return true;
        if (byte == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            return true;  // U+0080 to U+009F
        }
    }
    return false;
}

int HexValue(char c) {
    return static_cast<int>(tavrel::HexDigitValue(c));
}

// The text EscapeControlCharacters was given.
std::string Unescape(std::string_view escaped) {
    std::string text;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            text += escaped[i];
            continue;
        }
        Check(i + 1 < escaped.size());
        const char kind = escaped[++i];
        if (kind == '\\') {
            text += '\\';
        } else if (kind == 't') {
            text += '\t';
        } else if (kind == 'n') {
            text += '\n';
        } else {
            Check(kind == 'x' && i + 2 < escaped.size());
            const int value = HexValue(escaped[i + 1]) * 16 + HexValue(escaped[i + 2]);
            i += 2;
            if (value >= 0x80) text += '\xC2';
            text += static_cast<char>(value);
        }
    }
    return text;
}

bool CouldBeHexText(std::string_view content) {
    return std::all_of(content.begin(), content.end(), [](char c) {
        return tavrel::HexDigitValue(c) < 16 || c == ' ' || c == '\t' || c == '\r' || c == '\n';
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view content(reinterpret_cast<const char*>(data) + 1, size - 1);
    const DataFlashInputForm form = static_cast<DataFlashInputForm>(data[0] % 3);

    const tavrel::DataFlashInput input = tavrel::ParseDataFlashInput(content, form, "standard input");
    Check(input.error.empty() == (input.bytes.size() == 128));
    Check(input.error.empty() || input.bytes.empty());
    Check(!HasControlCharacter(input.error));
    const bool raw =
        content.size() == 128 &&
        (form == DataFlashInputForm::Raw || (form == DataFlashInputForm::Either && !CouldBeHexText(content)));
    if (raw) {
        Check(input.error.empty() && std::equal(input.bytes.begin(), input.bytes.end(), data + 1));
    } else if (form == DataFlashInputForm::Raw ||
               (form == DataFlashInputForm::Either && content.size() == 128)) {
        Check(!input.error.empty());
    } else if (input.error.empty()) {
        const std::string again = tavrel::BytesToHexText(input.bytes);
        Check(tavrel::ParseDataFlashInput(again, DataFlashInputForm::Hex, "x").bytes == input.bytes);
    }

    const std::string escaped = tavrel::EscapeControlCharacters(content);
    Check(!HasControlCharacter(escaped));
    Check(Unescape(escaped) == content);
    // Live lines are GBK. Read as GBK, the escaped text holds no control byte, and every
    // backslash that stands alone (not the second byte of a character) begins an escape that reads
    // back to the byte or bytes it stands for.
    const std::string bytes = tavrel::EscapeControlBytes(content);
    std::string unescaped;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = tavrel::GbkCharLength(bytes, i);
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (length == 2) {
            unescaped += bytes.substr(i, 2);
        } else if (byte != '\\') {
            Check(byte >= 0x20 && byte < 0x7F);
            unescaped += bytes[i];
        } else {
            Check(i + 1 < bytes.size());
            const char kind = bytes[i + 1];
            if (kind == 'x') {
                Check(i + 3 < bytes.size() && HexValue(bytes[i + 2]) < 16 && HexValue(bytes[i + 3]) < 16);
                unescaped += static_cast<char>(HexValue(bytes[i + 2]) * 16 + HexValue(bytes[i + 3]));
                i += 4;
                continue;
            }
            Check(kind == '\\' || kind == 'r' || kind == 'n' || kind == 't');
            unescaped += kind == 'r' ? '\r' : kind == 'n' ? '\n' : kind == 't' ? '\t' : '\\';
            i += 2;
            continue;
        }
        i += length;
    }
    Check(unescaped == content);
    const std::string quoted = tavrel::QuoteText(content);
    Check(!HasControlCharacter(quoted));
    Check(quoted.size() <= 80 * 4 + 3);  // a character escaped or not takes at most 4 bytes, then "…"
    return 0;
}
