#include "remote/record_lines.h"

#include <QStringDecoder>

#include "textcodec/gbk_codec.h"

namespace tavrel {

std::vector<std::string_view> SplitRecordLines(std::string_view record) {
    std::vector<std::string_view> lines;
    while (!record.empty()) {
        const std::size_t end = record.find('\n');
        std::string_view line = record.substr(0, end);
        record = end == std::string_view::npos ? std::string_view() : record.substr(end + 1);
        if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line.substr(0, line.find('\0')));
    }
    return lines;
}

std::variant<std::vector<std::string>, RecordRefusal> RecordToGbkLines(std::string_view record,
                                                                       std::size_t maxLineBytes) {
    std::vector<std::string> lines;
    for (const std::string_view line : SplitRecordLines(record)) {
        // UTF-8 never takes fewer bytes than GBK for the same text: a longer line cannot fit.
        if (line.size() > 4 * maxLineBytes) return RecordRefusal{RecordRefusal::Kind::LineTooLong, "line too long"};
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        const QString unicode = decoder.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
        if (decoder.hasError()) return RecordRefusal{RecordRefusal::Kind::NotUtf8, "not valid UTF-8"};
        std::optional<std::string> gbk = ToGbkExactly(unicode);
        if (!gbk) return RecordRefusal{RecordRefusal::Kind::NotGbk, "holds a character GBK cannot represent"};
        if (gbk->size() > maxLineBytes) return RecordRefusal{RecordRefusal::Kind::LineTooLong, "line too long"};
        lines.push_back(std::move(*gbk));
    }
    return lines;
}

}  // namespace tavrel
