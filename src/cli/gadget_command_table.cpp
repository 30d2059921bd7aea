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

constexpr GadgetCommand kCommands[] = {
    {"id", "id [SELECT]", 0, GadgetInput::None, {}, false, NothingToPrepare, ReadId, PrintId},
    {"download",
     "download [SELECT] [--version TEXT] [--no-autorun] [--encoding utf8|gbk] [--verify] [--if-changed] "
     "SCRIPT|-",
     kTakesEncoding | kTakesVersion | kTakesVerify | kTakesIfChanged, GadgetInput::File, "a script file",
     true, PrepareDownload, Download, PrintWrite},
    {"flash read",
     "flash read [SELECT] [--output FILE]",
     kTakesOutput,
     GadgetInput::None,
     {},
     false,
     NothingToPrepare,
     FlashRead,
     PrintDataFlashRead},
    {"flash write", "flash write [SELECT] [--verify] [--if-changed] [--raw|--hex] FILE|-",
     kTakesVerify | kTakesIfChanged | kTakesDataFlashForm, GadgetInput::File, "a file", true,
     PrepareFlashWrite, FlashWrite, PrintWrite},
    {"flash clear",
     "flash clear [SELECT] [--verify]",
     kTakesVerify,
     GadgetInput::None,
     {},
     true,
     PrepareFlashClear,
     FlashWrite,
     nullptr},
    {"start",
     "start [SELECT]",
     0,
     GadgetInput::None,
     {},
     false,
     NothingToPrepare,
     SendCode<CMD_START>,
     nullptr},
    {"stop", "stop [SELECT]", 0, GadgetInput::None, {}, false, NothingToPrepare, SendCode<CMD_STOP>, nullptr},
    {"reboot",
     "reboot [SELECT]",
     0,
     GadgetInput::None,
     {},
     false,
     NothingToPrepare,
     SendCode<CMD_REBOOT>,
     nullptr},
    {"send",
     "send [SELECT] [--encoding utf8|gbk] [LINE...]",
     kTakesEncoding,
     GadgetInput::Lines,
     {},
     false,
     PrepareSend,
     OpenSequence,
     nullptr},
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
