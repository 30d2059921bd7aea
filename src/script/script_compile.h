#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_sink.h"
#include "script/script_record.h"

namespace tavrel {

// A whole script compiled as the compile button does it.
struct ScriptCompilation {
    ScriptRecordBuffer recordBuffer{};  // the records from the start, zeros after them
    int recordCount = 0;
    ScriptRecord versionRecord{};
    // For the byte text box: the version record, then each record, as BytesToHexText gives them.
    std::vector<std::string> byteTextLines;
};

// Compiles the GBK script lines, at most 42 records, into a script image whose version record
// carries the record count, `versionText` read as an integer (low 8 bits; 0 and a log line when
// it is none) and the auto-run flag. Compile messages go to `log`.
ScriptCompilation CompileScript(std::span<const std::string> lines, std::string_view versionText,
                                bool autoRun, LogSink& log);

// The example lines the example button writes to the log, as one GBK text.
std::string DemoScriptText();

}  // namespace tavrel
