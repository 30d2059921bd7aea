#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <QString>

// The one place where the core's GBK bytes meet Unicode: widgets, the log box, the terminal, files.
namespace tavrel {

// GBK bytes as Unicode text; bytes that are no GBK become U+FFFD.
QString FromGbk(std::string_view bytes);

// Unicode text as GBK bytes; characters GBK cannot hold become "?".
std::string ToGbk(QStringView text);

// Unicode text as GBK bytes, or nothing when a character cannot be held in GBK.
std::optional<std::string> ToGbkExactly(QStringView text);

}  // namespace tavrel
