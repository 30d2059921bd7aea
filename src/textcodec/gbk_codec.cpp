#include "textcodec/gbk_codec.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace tavrel {

QString FromGbk(std::string_view bytes) {
    QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string ToGbk(QStringView text) {
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text);
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

std::optional<std::string> ToGbkExactly(QStringView text) {
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError()) {
        return std::nullopt;
    }
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace tavrel
