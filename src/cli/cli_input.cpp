#include "cli/cli_input.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <system_error>

#include <QStringDecoder>

#include "cli/cli_status.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

Encoding ParseEncoding(std::string_view name) {
    if (name == "utf8" || name == "utf-8") {
        return Encoding::Utf8;
    }
    if (name == "gbk") {
        return Encoding::Gbk;
    }
    throw UsageError("unknown encoding '" + QuoteText(name) + "' (use utf8 or gbk)");
}

void StreamLogSink::LogLine(std::string_view text) {
    if (m_encoding == Encoding::Gbk) {
        m_out << text << '\n';
    } else {
        m_out << FromGbk(text).toStdString() << '\n';
    }
}

std::string InputName(const std::string& file) {
    return file == "-" ? "standard input" : EscapeControlCharacters(file);
}

namespace {

// ": " and the system's words for a failed read, when the failure carries them.
std::string ReasonOf(const std::ios_base::failure& failure) {
    const std::error_code code = failure.code();
    if (code.category() != std::system_category() && code.category() != std::generic_category()) return {};
    return ": " + code.message();
}

std::string SizeText(std::size_t bytes) {
    if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (std::size_t{1} << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

// Reads `in` to its end or until it has given more than `limit` bytes.
std::string ReadAtMost(std::istream& in, std::size_t limit, const std::string& name) {
    constexpr std::size_t kChunk = std::size_t{64} << 10;
    std::string content;
    std::vector<char> chunk(kChunk);
    // A failed read is thrown by the stream's buffer with the system's error; the stream would
    // keep only that it failed.
    const std::ios::iostate exceptions = in.exceptions();
    in.exceptions(std::ios::badbit);
    try {
        while (in) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            content.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
            if (content.size() > limit) {
                in.exceptions(exceptions);
                throw UsageError(name + " is larger than " + SizeText(limit));
            }
        }
    } catch (const std::ios_base::failure& failure) {
        in.exceptions(exceptions);
        throw UsageError("cannot read " + name + ReasonOf(failure));
    }
    in.exceptions(exceptions);
    return content;
}

}  // namespace

std::string ReadInput(const std::string& file, std::istream& in, std::size_t limit) {
    const std::string name = InputName(file);
    if (file == "-") return ReadAtMost(in, limit, name);
    std::error_code error;
    if (std::filesystem::is_directory(file, error)) {
        throw UsageError("cannot read " + name + ": it is a folder");
    }
    errno = 0;
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        const int cause = errno;
        throw UsageError("cannot read " + name +
                         (cause != 0 ? ": " + std::generic_category().message(cause) : ""));
    }
    return ReadAtMost(stream, limit, name);
}

LineRead ReadBoundedLine(std::istream& in, std::string& line, std::size_t limit) {
    line.clear();
    std::streambuf* buffer = in.rdbuf();
    bool any = false;
    bool tooLong = false;
    for (;;) {
        int c = 0;
        try {
            c = buffer->sbumpc();
        } catch (const std::ios_base::failure& failure) {
            // The stream's buffer throws a failed read (a folder, a descriptor that is not open
            // for reading, an empty non-blocking input) with the system's error.
            in.setstate(std::ios::badbit);
            line = "cannot read standard input" + ReasonOf(failure);
            return LineRead::Failed;
        }
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            if (!any) return LineRead::End;
            break;
        }
        any = true;
        if (c == '\n') break;
        // One byte more than the limit is kept, for the CR of a CR LF.
        if (line.size() <= limit) {
            line.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    if (line.ends_with('\r')) line.pop_back();
    if (tooLong || line.size() > limit) {
        line.clear();
        return LineRead::TooLong;
    }
    return LineRead::Line;
}

std::optional<std::string> ConvertLineToGbk(std::string& line, Encoding encoding) {
    if (encoding == Encoding::Gbk) return std::nullopt;
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString unicode = decoder.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    if (decoder.hasError()) return "not valid UTF-8";
    std::optional<std::string> gbk = ToGbkExactly(unicode);
    if (!gbk) return "holds a character that GBK cannot represent";
    line = std::move(*gbk);
    return std::nullopt;
}

std::string LineToGbk(std::string line, Encoding encoding, const std::string& where) {
    if (const std::optional<std::string> fault = ConvertLineToGbk(line, encoding))
        throw UsageError(where + ": " + *fault);
    return line;
}

std::vector<std::string> ReadGbkLines(const std::string& file, Encoding encoding, std::istream& in) {
    std::string text = ReadInput(file, in, kTextInputLimit);
    if (encoding == Encoding::Utf8 && text.starts_with("\xEF\xBB\xBF")) {
        text.erase(0, 3);
    }
    std::vector<std::string> lines = SplitLines(text);
    const std::string name = InputName(file);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i] = LineToGbk(std::move(lines[i]), encoding, name + ", line " + std::to_string(i + 1));
    }
    return lines;
}

}  // namespace tavrel
