#include "commands/script_download.h"

#include <algorithm>

#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/hex_text.h"

namespace tavrel {

namespace {

constexpr std::size_t kBytesPerLine = 3;

}  // namespace

ScriptDownload PlanScriptDownload(std::span<const std::string> lines,
                                  std::span<const std::uint8_t> recordBuffer) {
    ScriptDownload download;
    download.image.assign(recordBuffer.begin(), recordBuffer.end());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (TrimBlanksAndControls(lines[i]).empty()) {
            continue;
        }
        const std::vector<std::uint8_t> bytes = HexTextToBytes(lines[i]);
        const std::size_t offset = kBytesPerLine * i;
        if (download.image.size() < offset + bytes.size()) {
            download.image.resize(offset + bytes.size(), 0);
        }
        std::copy(bytes.begin(), bytes.end(), download.image.begin() + static_cast<std::ptrdiff_t>(offset));
        download.byteTotal += bytes.size();
    }

    if (download.byteTotal == 0) {
        download.logLines.emplace_back("无脚本"_gbk);
        return download;
    }
    if (download.byteTotal > kMaxScriptBytes) {
        download.logLines.push_back(std::string("脚本过长，超出闪存地址范围：共"_gbk) +
                                    std::to_string(download.byteTotal) + std::string("字节"_gbk));
        return download;
    }
    const std::size_t chunks = (download.byteTotal + kFlashChunkSize - 1) / kFlashChunkSize;
    download.logLines.push_back(std::string("共"_gbk) + std::to_string(download.byteTotal) +
                                std::string("字节"_gbk));
    if (download.image.size() < chunks * kFlashChunkSize) {
        download.image.resize(chunks * kFlashChunkSize, 0);
    }
    for (std::size_t j = 0; j < chunks; ++j) {
        const auto chunk = std::span(download.image).subspan(j * kFlashChunkSize).first<kFlashChunkSize>();
        const auto address = static_cast<std::uint16_t>(kScriptFlashAddress + j * kFlashChunkSize);
        download.blocks.push_back(BuildFlashBlock(FlashOperation::Write, address, chunk));
    }
    return download;
}

}  // namespace tavrel
