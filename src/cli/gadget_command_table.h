#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commands/flash_block.h"
#include "commands/script_download.h"
#include "common/json_text.h"
#include "gadget/data_flash.h"
#include "gadget/gadget_exchange.h"

namespace tavrel {

struct GadgetOptions;

// What a command reads besides its options.
enum class GadgetInput {
    None,
    File,   // one FILE or - (standard input), required
    Lines,  // LINE... arguments, or standard input line by line
};

// What a command sends, prepared (and refused when it must be) before any gadget is touched.
struct Preparation {
    ScriptDownload download;
    std::vector<std::uint8_t> dataFlash;  // flash write, flash clear
    std::vector<std::string> liveLines;   // send's LINEs as GBK
};

// What one gadget's exchange learned, for its result.
struct Learned {
    DataFlashImage dataFlash{kDataFlashSize};
    std::string deviceIdText;
    std::uint32_t deviceId = 0;
    bool changed = true;  // a write found the flash holding what it would write (--if-changed): false
};

// One gadget command: its words, what it reads, how it prepares, the exchange it makes with each
// gadget and how a gadget that did the work is printed. Its options are declared with it in the
// command registry.
struct GadgetCommand {
    std::string_view name{};  // "id", "flash write", ...
    GadgetInput input = GadgetInput::None;
    std::string_view inputName{};  // what a missing File is called: "a script file"
    // A write to the flash: an interrupt lets it finish.
    bool writesFlash = false;
    Preparation (*prepare)(const GadgetOptions& options, std::istream& in, std::ostream& err) = nullptr;
    std::unique_ptr<PacketSequence> (*exchange)(const GadgetOptions& options, const Preparation& prepared,
                                                GadgetLink& link, const GadgetId& gadget,
                                                Learned& learned) = nullptr;
    // A write or an action: the gadget holds something new when it did the work (a write with
    // --if-changed only when it wrote).
    bool changes = false;
    // Prints a gadget that did the work; none: "PATH<TAB>ok". `several`: more than one selected.
    void (*printDone)(std::ostream& out, const std::string& path, const Learned& learned, bool several,
                      const GadgetOptions& options) = nullptr;
    // Adds what a gadget that did the work learned to its JSON object; none: nothing.
    void (*jsonDone)(JsonObject& result, const Learned& learned) = nullptr;
};

// Every gadget command, in the order --help lists them.
std::span<const GadgetCommand> GadgetCommands();
// The command named by `words` ("flash write" is two words); none for an unknown one.
const GadgetCommand* FindGadgetCommand(std::string_view name);

}  // namespace tavrel
