#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_sink.h"

namespace tavrel {

// How tavrel-cli reads and writes text: UTF-8 unless --encoding gbk is given.
enum class Encoding { Utf8, Gbk };

// "utf8", "utf-8" or "gbk"; anything else is a UsageError.
Encoding ParseEncoding(std::string_view name);

// Writes each log line in the chosen encoding, one per line.
class StreamLogSink : public LogSink {
public:
    StreamLogSink(std::ostream& out, Encoding encoding) : m_out(out), m_encoding(encoding) {}
    void LogLine(std::string_view text) override;

private:
    std::ostream& m_out;
    Encoding m_encoding;
};

// The most tavrel-cli reads of a script or byte text, and of flash write's input.
inline constexpr std::size_t kTextInputLimit = std::size_t{1} << 20;
inline constexpr std::size_t kDataFlashInputLimit = std::size_t{64} << 10;
// The longest line send takes from standard input: a datagram's worth.
inline constexpr std::size_t kLiveLineLimit = 2048;

// How messages name an input: "standard input" for "-", else the file name, escaped.
std::string InputName(const std::string& file);

// The whole of `file` ("-": `in`), as bytes. Reading stops at `limit` (it may run one buffer of at
// most 64 KiB past it): a larger input is a UsageError ("FILE is larger than 1 MiB"), as is one
// that cannot be read.
std::string ReadInput(const std::string& file, std::istream& in, std::size_t limit);

// One line of `in` without its line end (LF or CR LF), keeping at most `limit` bytes of it: a
// longer line is read to its end without being kept. A read that fails gives Failed, with
// "cannot read standard input: REASON" in `line`.
enum class LineRead { Line, TooLong, End, Failed };
LineRead ReadBoundedLine(std::istream& in, std::string& line, std::size_t limit);

// Turns one line of text in the chosen encoding into GBK bytes in place; gives why it cannot be
// ("not valid UTF-8", "holds a character that GBK cannot represent") and leaves it alone then.
std::optional<std::string> ConvertLineToGbk(std::string& line, Encoding encoding);

// One line of text in the chosen encoding as GBK bytes; `where` names it in the UsageError given
// for text that is not UTF-8 or holds a character GBK cannot represent.
std::string LineToGbk(std::string line, Encoding encoding, const std::string& where);

// The lines of `file` ("-": `in`, at most kTextInputLimit) as GBK bytes; a UTF-8 byte order mark
// is skipped.
std::vector<std::string> ReadGbkLines(const std::string& file, Encoding encoding, std::istream& in);

}  // namespace tavrel
