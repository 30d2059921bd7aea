#include "cli/gadget_command_table.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "cli/cli_input.h"
#include "cli/gadget_input.h"
#include "cli/gadget_options.h"
#include "commands/command_codes.h"
#include "common/hex_text.h"
#include "gadget/flash_exchanges.h"

namespace tavrel {

namespace {

Preparation NothingToPrepare(const GadgetOptions&, std::istream&, std::ostream&) {
    return {};
}

Preparation PrepareDownload(const GadgetOptions& options, std::istream& in, std::ostream& err) {
    Preparation prepared;
    prepared.download = PrepareScriptDownload(options, in, err);
    return prepared;
}

Preparation PrepareFlashWrite(const GadgetOptions& options, std::istream& in, std::ostream&) {
    Preparation prepared;
    prepared.dataFlash = ReadDataFlashInput(*options.input, options.dataFlashForm, in);
    return prepared;
}

Preparation PrepareFlashClear(const GadgetOptions&, std::istream&, std::ostream&) {
    Preparation prepared;
    prepared.dataFlash.assign(kDataFlashSize, 0xFF);
    return prepared;
}

Preparation PrepareSend(const GadgetOptions& options, std::istream&, std::ostream&) {
    Preparation prepared;
    for (std::size_t i = 0; i < options.lines.size(); ++i) {
        prepared.liveLines.push_back(
            LineToGbk(options.lines[i], options.encoding, "line " + std::to_string(i + 1)));
    }
    return prepared;
}

std::unique_ptr<PacketSequence> SinglePacket(GadgetLink& link, const GadgetId& gadget, std::uint8_t code) {
    return std::make_unique<PacketSequence>(link, gadget,
                                            std::vector<CommandPacket>{BuildCommandPacket(code)});
}

template <std::uint8_t Code>
std::unique_ptr<PacketSequence> SendCode(const GadgetOptions&, const Preparation&, GadgetLink& link,
                                         const GadgetId& gadget, Learned&) {
    return SinglePacket(link, gadget, Code);
}

std::unique_ptr<PacketSequence> ReadId(const GadgetOptions&, const Preparation&, GadgetLink& link,
                                       const GadgetId& gadget, Learned& learned) {
    std::unique_ptr<PacketSequence> sequence = SinglePacket(link, gadget, CMD_READ_ID);
    sequence->SetAnswerCheck([&learned](std::size_t,
                                        const ReplyEffects& reply) -> std::optional<std::string> {
        if (!reply.deviceIdText) return "answer without an identifier";
        learned.deviceIdText = *reply.deviceIdText;
        const std::vector<std::uint8_t> id = HexTextToBytes(learned.deviceIdText);  // low byte first
        learned.deviceId = static_cast<std::uint32_t>(id[0]) | static_cast<std::uint32_t>(id[1]) << 8 |
                           static_cast<std::uint32_t>(id[2]) << 16 | static_cast<std::uint32_t>(id[3]) << 24;
        return std::nullopt;
    });
    return sequence;
}

std::unique_ptr<PacketSequence> Download(const GadgetOptions& options, const Preparation& prepared,
                                         GadgetLink& link, const GadgetId& gadget, Learned& learned) {
    return MakeScriptDownload(link, gadget, prepared.download,
                              FlashWriteMode{options.verify, options.ifChanged, &learned.changed});
}

std::unique_ptr<PacketSequence> FlashRead(const GadgetOptions&, const Preparation&, GadgetLink& link,
                                          const GadgetId& gadget, Learned& learned) {
    return MakeDataFlashRead(link, gadget, &learned.dataFlash);
}

std::unique_ptr<PacketSequence> FlashWrite(const GadgetOptions& options, const Preparation& prepared,
                                           GadgetLink& link, const GadgetId& gadget, Learned& learned) {
    return MakeDataFlashWrite(link, gadget, prepared.dataFlash,
                              FlashWriteMode{options.verify, options.ifChanged, &learned.changed});
}

// A write: "ok" when it wrote, "unchanged" when the gadget held it all already (--if-changed).
void PrintWrite(std::ostream& out, const std::string& path, const Learned& learned, bool,
                const GadgetOptions&) {
    out << path << '\t' << (learned.changed ? "ok" : "unchanged") << '\n';
}

// The lines' packets come as the lines run.
std::unique_ptr<PacketSequence> OpenSequence(const GadgetOptions&, const Preparation&, GadgetLink& link,
                                             const GadgetId& gadget, Learned&) {
    auto sequence = std::make_unique<PacketSequence>(link, gadget, std::vector<CommandPacket>{});
    sequence->KeepOpen();
    return sequence;
}

void PrintId(std::ostream& out, const std::string& path, const Learned& learned, bool, const GadgetOptions&) {
    out << path << '\t' << learned.deviceIdText << '\t' << learned.deviceId << '\n';
}

void PrintDataFlashRead(std::ostream& out, const std::string& path, const Learned& learned, bool several,
                        const GadgetOptions& options) {
    if (several || !options.output.empty()) out << path << "\tok\n";
    if (options.output.empty()) PrintDataFlash(out, learned.dataFlash.Bytes());
}

void IdJson(JsonObject& result, const Learned& learned) {
    result.Text("identifier", learned.deviceIdText).Number("identifier_number", learned.deviceId);
}

// The 128 bytes as 256 upper-case hex digits.
void DataFlashJson(JsonObject& result, const Learned& learned) {
    std::string hex = BytesToHexText(learned.dataFlash.Bytes());
    std::erase(hex, ' ');
    result.Text("flash", hex);
}

constexpr GadgetCommand kCommands[] = {
    {.name = "id", .prepare = NothingToPrepare, .exchange = ReadId, .printDone = PrintId, .jsonDone = IdJson},
    {.name = "download",
     .input = GadgetInput::File,
     .inputName = "a script file",
     .writesFlash = true,
     .prepare = PrepareDownload,
     .exchange = Download,
     .changes = true,
     .printDone = PrintWrite},
    {.name = "flash read",
     .prepare = NothingToPrepare,
     .exchange = FlashRead,
     .printDone = PrintDataFlashRead,
     .jsonDone = DataFlashJson},
    {.name = "flash write",
     .input = GadgetInput::File,
     .inputName = "a file",
     .writesFlash = true,
     .prepare = PrepareFlashWrite,
     .exchange = FlashWrite,
     .changes = true,
     .printDone = PrintWrite},
    {.name = "flash clear",
     .writesFlash = true,
     .prepare = PrepareFlashClear,
     .exchange = FlashWrite,
     .changes = true},
    {.name = "start", .prepare = NothingToPrepare, .exchange = SendCode<CMD_START>, .changes = true},
    {.name = "stop", .prepare = NothingToPrepare, .exchange = SendCode<CMD_STOP>, .changes = true},
    {.name = "reboot", .prepare = NothingToPrepare, .exchange = SendCode<CMD_REBOOT>, .changes = true},
    {.name = "send",
     .input = GadgetInput::Lines,
     .prepare = PrepareSend,
     .exchange = OpenSequence,
     .changes = true},
};

}  // namespace

std::span<const GadgetCommand> GadgetCommands() {
    return kCommands;
}

const GadgetCommand* FindGadgetCommand(std::string_view name) {
    const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const GadgetCommand& c) { return c.name == name; });
    return found == std::end(kCommands) ? nullptr : found;
}

}  // namespace tavrel
