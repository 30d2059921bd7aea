#pragma once

#include <iosfwd>
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

// The whole of `file` ("-": `in`), as bytes; a file that cannot be read is a UsageError.
std::string ReadInput(const std::string& file, std::istream& in);

// One line of text in the chosen encoding as GBK bytes; `where` names it in the UsageError given
// for text that is not UTF-8 or holds a character GBK cannot represent.
std::string LineToGbk(std::string line, Encoding encoding, const std::string& where);

// The lines of `file` ("-": `in`) as GBK bytes; a UTF-8 byte order mark is skipped.
std::vector<std::string> ReadGbkLines(const std::string& file, Encoding encoding, std::istream& in);

}  // namespace tavrel
