#include "cli/cli_input.h"

#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>

#include <QStringDecoder>

#include "cli/cli_status.h"
#include "common/gbk_text.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

Encoding ParseEncoding(std::string_view name) {
    if (name == "utf8" || name == "utf-8") {
        return Encoding::Utf8;
    }
    if (name == "gbk") {
        return Encoding::Gbk;
    }
    throw UsageError("unknown encoding '" + std::string(name) + "' (use utf8 or gbk)");
}

void StreamLogSink::LogLine(std::string_view text) {
    if (m_encoding == Encoding::Gbk) {
        m_out << text << '\n';
    } else {
        m_out << FromGbk(text).toStdString() << '\n';
    }
}

std::string ReadInput(const std::string& file, std::istream& in) {
    if (file == "-") {
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::error_code error;
    if (std::filesystem::is_directory(file, error)) {
        throw UsageError("cannot read " + file + ": it is a folder");
    }
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        throw UsageError("cannot read " + file);
    }
    try {
        return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    } catch (const std::exception& failure) {
        throw UsageError("cannot read " + file + ": " + failure.what());
    }
}

std::string LineToGbk(std::string line, Encoding encoding, const std::string& where) {
    if (encoding == Encoding::Gbk) {
        return line;
    }
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString unicode = decoder.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    if (decoder.hasError()) {
        throw UsageError(where + ": not valid UTF-8");
    }
    std::optional<std::string> gbk = ToGbkExactly(unicode);
    if (!gbk) {
        throw UsageError(where + ": holds a character that GBK cannot represent");
    }
    return std::move(*gbk);
}

std::vector<std::string> ReadGbkLines(const std::string& file, Encoding encoding, std::istream& in) {
    std::string text = ReadInput(file, in);
    if (encoding == Encoding::Utf8 && text.starts_with("\xEF\xBB\xBF")) {
        text.erase(0, 3);
    }
    std::vector<std::string> lines = SplitLines(text);
    const std::string name = file == "-" ? "standard input" : file;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i] = LineToGbk(std::move(lines[i]), encoding, name + ", line " + std::to_string(i + 1));
    }
    return lines;
}

}  // namespace tavrel
