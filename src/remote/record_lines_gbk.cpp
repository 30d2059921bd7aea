#include <QStringDecoder>

#include "remote/record_lines.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

std::variant<std::vector<std::string>, RecordRefusal> RecordToGbkLines(std::string_view record,
                                                                       std::size_t maxLineBytes) {
    std::vector<std::string> lines;
    for (const std::string_view line : SplitRecordLines(record)) {
        // UTF-8 never takes fewer bytes than GBK for the same text: a longer line cannot fit.
        if (line.size() > 4 * maxLineBytes)
            return RecordRefusal{RecordRefusal::Kind::LineTooLong, "line too long"};
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        const QString unicode =
            decoder.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
        if (decoder.hasError()) return RecordRefusal{RecordRefusal::Kind::NotUtf8, "not valid UTF-8"};
        std::optional<std::string> gbk = ToGbkExactly(unicode);
        if (!gbk) return RecordRefusal{RecordRefusal::Kind::NotGbk, "holds a character GBK cannot represent"};
        if (gbk->size() > maxLineBytes)
            return RecordRefusal{RecordRefusal::Kind::LineTooLong, "line too long"};
        lines.push_back(std::move(*gbk));
    }
    return lines;
}

}  // namespace tavrel
