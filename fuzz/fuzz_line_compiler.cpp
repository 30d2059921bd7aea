// The script compiler over arbitrary bytes: one line in compile mode and in live mode, and, for
// inputs of modest size, the whole input as a script, whose byte text is then listed back.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_codes.h"
#include "commands/command_packet.h"
#include "common/gbk_text.h"
#include "common/log_sink.h"
#include "fuzz_check.h"
#include "script/line_compiler.h"
#include "script/script_compile.h"
#include "script/script_listing.h"
#include "script/script_record.h"

namespace {

using tavrel::fuzz::Check;

// Beyond these the script pass only repeats what the single-line passes already cover.
constexpr std::size_t kMaxScriptInputSize = 4096;
constexpr std::size_t kMaxScriptLines = 100;

// Drops every line, but reads each byte of it so that a line pointing at freed or foreign
// memory shows up under AddressSanitizer. Claims a debugger so that the trace lines are built too.
class DiscardingLog final : public tavrel::LogSink {
public:
    void LogLine(std::string_view text) override {
        for (const char c : text) {
            m_byteSum += static_cast<unsigned char>(c);
        }
    }

protected:
    bool DebuggerAttached() const override { return true; }

private:
    unsigned m_byteSum = 0;
};

// The data length of each command live mode may send; 0 for any other code.
std::size_t LiveDataLength(std::uint8_t code) {
    switch (code) {
        case tavrel::CMD_KEYBOARD:
        case tavrel::CMD_KEYBOARD_HID: return 8;
        case tavrel::CMD_MOUSE:
        case tavrel::CMD_MOUSE_HID: return 4;
        default: return 0;
    }
}

// Checks every packet as it is handed over and keeps the one a line may send.
class CheckingPacketSink final : public tavrel::PacketSink {
public:
    void SendPacket(const tavrel::CommandPacket& packet) override {
        Check(m_packets.empty());
        Check(LiveDataLength(packet.code()) != 0);
        Check(packet.length() == LiveDataLength(packet.code()));
        Check(packet.bytes().size() == tavrel::CommandPacket::kHeaderSize + packet.length());
        Check(packet.bytes()[3] == 0);
        Check(packet.checksum() == tavrel::PacketChecksum(packet.data().data(), packet.length()));
        m_packets.push_back(packet);
    }

    const std::vector<tavrel::CommandPacket>& packets() const { return m_packets; }

private:
    std::vector<tavrel::CommandPacket> m_packets;
};

void CompileOneLine(std::string_view line) {
    DiscardingLog log;
    tavrel::ScriptRecord record{};
    const int made = tavrel::CompileScriptLine(line, record, log);
    Check(made == 0 || made == 1);
    // Whatever the line, only the kinds a script line can name get written; never a version record.
    Check(tavrel::RecordKindOf(record[0]) <= tavrel::kKindJump);

    CheckingPacketSink sink;
    Check(tavrel::CompileScriptLine(line, sink, log) == made);
    if (sink.packets().empty()) {
        return;
    }
    Check(made == 1);
    // Keyboard and mouse packets carry the record compile mode writes; raw reports carry the
    // line's own bytes and leave the record untouched.
    const tavrel::CommandPacket& packet = sink.packets().front();
    switch (packet.code()) {
        case tavrel::CMD_KEYBOARD:
            Check(tavrel::RecordKindOf(record[0]) == tavrel::kKindKeyboard);
            Check(packet.data()[0] == record[0] && packet.data()[1] == record[1]);
            break;
        case tavrel::CMD_MOUSE:
            Check(tavrel::RecordKindOf(record[0]) == tavrel::kKindMouse);
            Check(packet.data()[0] == record[0]);
            break;
        default: Check(record == tavrel::ScriptRecord{}); break;
    }
}

void CompileWholeScript(std::string_view text) {
    // The lines as the window and the command line split them, capped to keep runs fast.
    std::vector<std::string> lines = tavrel::SplitLines(text);
    if (lines.size() > kMaxScriptLines) {
        lines.resize(kMaxScriptLines);
    }
    DiscardingLog log;
    // The first line doubles as the version text, so that both readings of it get exercised.
    const bool autoRun = text.size() % 2 == 1;
    const tavrel::ScriptCompilation script =
        tavrel::CompileScript(lines, lines.empty() ? std::string() : lines.front(), autoRun, log);

    Check(script.recordCount >= 0 && script.recordCount <= tavrel::kMaxScriptRecords);
    const auto count = static_cast<std::size_t>(script.recordCount);
    Check(script.versionRecord[0] == (tavrel::kVersionRecord | (autoRun ? tavrel::kVersionAutoRunFlag : 0)));
    Check(script.versionRecord[1] == count);
    Check(script.byteTextLines.size() == count + 1);
    // The records from the start, zeros after them: a failed line leaves nothing behind.
    const std::size_t untouchedFrom = count * tavrel::kScriptRecordSize;
    Check(std::all_of(script.recordBuffer.begin() + static_cast<std::ptrdiff_t>(untouchedFrom),
                      script.recordBuffer.end(), [](std::uint8_t byte) { return byte == 0; }));

    // Listing the byte text stores the version record and then the records, as far as they fit.
    tavrel::ScriptRecordBuffer listed{};
    tavrel::ListScriptBytes(script.byteTextLines, listed, log);
    Check(std::equal(script.versionRecord.begin(), script.versionRecord.end(), listed.begin()));
    const std::size_t storedRecords = std::min<std::size_t>(count, tavrel::kMaxScriptRecords - 1);
    const auto recordBytes = static_cast<std::ptrdiff_t>(storedRecords * tavrel::kScriptRecordSize);
    Check(std::equal(script.recordBuffer.begin(), script.recordBuffer.begin() + recordBytes,
                     listed.begin() + tavrel::kScriptRecordSize));

    // The listing also has to cope with lines that are no byte text at all.
    tavrel::ScriptRecordBuffer listedInput{};
    tavrel::ListScriptBytes(lines, listedInput, log);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CompileOneLine(text);
    if (size <= kMaxScriptInputSize) {
        CompileWholeScript(text);
    }
    return 0;
}
