#include "support/log_collector.h"

#include <QString>

#include "common/hex_text.h"
#include "textcodec/gbk_codec.h"

namespace tavrel::test {

std::vector<std::string> LogCollector::Utf8Lines() const {
    std::vector<std::string> utf8;
    utf8.reserve(m_lines.size());
    for (const std::string& line : m_lines) {
        utf8.push_back(GbkToUtf8(line));
    }
    return utf8;
}

std::string GbkToUtf8(std::string_view gbk) {
    return FromGbk(gbk).toStdString();
}

std::string Utf8ToGbk(std::string_view utf8) {
    return ToGbk(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    return HexTextToBytes(hex);
}

std::vector<std::uint8_t> ReportOf(std::string_view head, std::size_t length) {
    std::vector<std::uint8_t> report = Bytes(head);
    report.insert(report.begin(), 0x00);
    report.resize(length, 0);
    return report;
}

}  // namespace tavrel::test
