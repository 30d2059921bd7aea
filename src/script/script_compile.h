#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_sink.h"
#include "script/line_compiler.h"
#include "script/script_record.h"

namespace tavrel {

// What compiling one line of a script gave.
struct ScriptLineResult {
    ScriptLineKind kind = ScriptLineKind::Blank;
    bool counted = false;    // it made a record
    bool pastLimit = false;  // not compiled: the script had its 42 records before it
    // The compile messages logged for the line (GBK); "超过存储空间！" for every line past the limit.
    std::vector<std::string> messages;

    // A line meant to make a record that made none: neither blank nor a comment, and not counted.
    bool LeftOut() const {
        return !counted && kind != ScriptLineKind::Blank && kind != ScriptLineKind::Comment;
    }
};

// A whole script compiled as the compile button does it.
struct ScriptCompilation {
    ScriptRecordBuffer recordBuffer{};  // the records from the start, zeros after them
    int recordCount = 0;
    ScriptRecord versionRecord{};
    // For the byte text box: the version record, then each record, as BytesToHexText gives them.
    std::vector<std::string> byteTextLines;
    // One per line given, in order; collecting them changes nothing of the log or the records.
    std::vector<ScriptLineResult> lineResults;
};

// Compiles the GBK script lines, at most 42 records, into a script image whose version record
// carries the record count, `versionText` read as an integer (low 8 bits; 0 and a log line when
// it is none) and the auto-run flag. Compile messages go to `log`.
ScriptCompilation CompileScript(std::span<const std::string> lines, std::string_view versionText,
                                bool autoRun, LogSink& log);

// The example lines the example button writes to the log, as one GBK text.
std::string DemoScriptText();

}  // namespace tavrel
