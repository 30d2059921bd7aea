#pragma once

#include <string>
#include <string_view>

#include "common/log_sink.h"

namespace tavrel {

// UTF-8 text as one piece of one line, whatever it holds (a device's name, say): tab, line feed
// and backslash as \t, \n and \\, every other control character (C0, DEL, C1) as \xHH.
std::string EscapeControlCharacters(std::string_view utf8);

// Text from outside quoted in a message (an argument, a word of an input): at most
// `maxCharacters` UTF-8 characters of it, the cut marked with "…", escaped as above.
std::string QuoteText(std::string_view utf8, std::size_t maxCharacters = 80);

// Bytes from outside that ought to be printable ASCII (a DTLS identity): every other byte as
// \xHH, a backslash as \\, so the result reads the same in GBK and in UTF-8.
std::string EscapeToPrintableAscii(std::string_view bytes);

// GBK text as one piece of one line, read character by character: a two-byte character passes
// whole (its second byte may be a backslash); a backslash is written \\, the control bytes
// 0x00-0x1F and 0x7F as \r, \n, \t or \xHH, and a byte above ASCII that begins no two-byte
// character as \xHH. Read as GBK, the result holds no control byte, and every escape in it reads
// as the ASCII text it is.
std::string EscapeControlBytes(std::string_view gbk);

// Hands every line on to another sink with its control bytes escaped (EscapeControlBytes): the
// sink for messages made while text from outside runs, so none of it can pass for a line of
// the tool's own. Traces show when the other sink shows them.
class ControlEscapingLogSink : public LogSink {
public:
    explicit ControlEscapingLogSink(LogSink& target) : m_target(target) {}

    void LogLine(std::string_view text) override { m_target.LogLine(EscapeControlBytes(text)); }

protected:
    bool DebuggerAttached() const override { return m_target.TracesShown(); }

private:
    LogSink& m_target;
};

}  // namespace tavrel
