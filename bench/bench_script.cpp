// Speed of the script work behind the compile, list and live-test buttons: a full script of 42
// records compiled, its 43 byte text lines listed back, and one keyboard line sent live.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "commands/command_packet.h"
#include "common/gbk_literal.h"
#include "common/log_sink.h"
#include "script/line_compiler.h"
#include "script/script_compile.h"
#include "script/script_listing.h"
#include "script/script_record.h"

namespace {

using tavrel::operator""_gbk;

// Keeps the lines as the window's log would, so each iteration pays for the strings it makes.
class CollectingLog final : public tavrel::LogSink {
public:
    void LogLine(std::string_view text) override { m_lines.emplace_back(text); }
    void Clear() { m_lines.clear(); }

protected:
    bool DebuggerAttached() const override { return false; }

private:
    std::vector<std::string> m_lines;
};

class CountingPacketSink final : public tavrel::PacketSink {
public:
    void SendPacket(const tavrel::CommandPacket& packet) override {
        benchmark::DoNotOptimize(packet.bytes().data());
        ++m_count;
    }

    std::size_t count() const { return m_count; }

private:
    std::size_t m_count = 0;
};

// Opens Notepad, types a line, saves, then works the mouse and starts over: 42 records and a comment.
std::vector<std::string> FullScriptLines() {
    constexpr std::string_view kLines[] = {
        "注释：打开记事本，写一行字再保存"_gbk,
        "按键：win+r"_gbk,
        "延时：500毫秒"_gbk,
        "按键：n"_gbk,
        "按键：o"_gbk,
        "按键：t"_gbk,
        "按键：e"_gbk,
        "按键：p"_gbk,
        "按键：a"_gbk,
        "按键：d"_gbk,
        "按键：回车"_gbk,
        "延时：2秒"_gbk,
        "键盘：shift+h"_gbk,
        "键盘：e"_gbk,
        "键盘：l"_gbk,
        "键盘：l"_gbk,
        "键盘：o"_gbk,
        "键盘：空格"_gbk,
        "键盘：ctrl+s"_gbk,
        "延时：800毫秒"_gbk,
        "键盘：alt+f4"_gbk,
        "延时：1秒"_gbk,
        "鼠标：定位"_gbk,
        "鼠标：单击"_gbk,
        "延时：300毫秒"_gbk,
        "鼠标：双击"_gbk,
        "鼠标：右击"_gbk,
        "延时：150毫秒"_gbk,
        "键盘：esc"_gbk,
        "鼠标：滚轮"_gbk,
        "鼠标：下移"_gbk,
        "鼠标：上移"_gbk,
        "鼠标：左移"_gbk,
        "鼠标：右移"_gbk,
        "鼠标：中击"_gbk,
        "键盘：ctrl+shift+esc"_gbk,
        "延时：3秒"_gbk,
        "键盘：alt+tab"_gbk,
        "键盘：f5延时2秒"_gbk,
        "键盘：pageup"_gbk,
        "键盘：向下翻页"_gbk,
        "延时：10秒"_gbk,
        "跳转：1"_gbk,
    };
    return {std::begin(kLines), std::end(kLines)};
}

void BM_CompileScript(benchmark::State& state) {
    const std::vector<std::string> lines = FullScriptLines();
    CollectingLog log;
    for (auto _ : state) {
        log.Clear();
        tavrel::ScriptCompilation script = tavrel::CompileScript(lines, "3", false, log);
        benchmark::DoNotOptimize(script);
        if (script.recordCount != tavrel::kMaxScriptRecords) {
            state.SkipWithError("the script no longer compiles to 42 records");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
    state.SetLabel("items = script lines");
}
BENCHMARK(BM_CompileScript);

void BM_ListScriptBytes(benchmark::State& state) {
    CollectingLog log;
    const std::vector<std::string> byteLines =
        tavrel::CompileScript(FullScriptLines(), "3", false, log).byteTextLines;
    if (byteLines.size() != tavrel::kMaxScriptRecords + 1) {
        state.SkipWithError("the script no longer compiles to 42 records");
        return;
    }
    for (auto _ : state) {
        log.Clear();
        tavrel::ScriptRecordBuffer recordBuffer{};
        tavrel::ListScriptBytes(byteLines, recordBuffer, log);
        benchmark::DoNotOptimize(recordBuffer);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(byteLines.size()));
    state.SetLabel("items = byte text lines");
}
BENCHMARK(BM_ListScriptBytes);

void BM_LiveKeyboardLine(benchmark::State& state) {
    const std::string line(std::string_view("键盘：ctrl+shift+del"_gbk));
    CollectingLog log;
    CountingPacketSink packets;
    for (auto _ : state) {
        log.Clear();
        benchmark::DoNotOptimize(tavrel::CompileScriptLine(line, packets, log));
    }
    if (packets.count() != static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("the keyboard line no longer sends one packet");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("items = lines sent");
}
BENCHMARK(BM_LiveKeyboardLine);

}  // namespace

BENCHMARK_MAIN();
