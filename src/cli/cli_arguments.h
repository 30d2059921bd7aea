#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/cli_status.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"

namespace tavrel {

// --version's text, refused with a UsageError unless it is a whole number from 0 to 255: the one
// byte of the version record that holds it.
inline std::string CheckedVersion(std::string text) {
    if (!ParseDigits(text, 255)) {
        throw UsageError("--version takes a whole number from 0 to 255, not '" + QuoteText(text) + "'");
    }
    return text;
}

}  // namespace tavrel
