#pragma once

#include <span>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "script/script_record.h"

namespace tavrel {

// Lists the byte text lines (GBK) to `log`: each non-blank line must hold exactly one 3-byte
// record; good records are numbered from 1 and named by kind and fields. The first 42 records
// taken are stored one after another in `recordBuffer`; further ones are listed but not stored.
// With `listing`, what was listed is also given as data there.
struct ScriptListing {
    struct Refused {
        std::size_t line = 0;  // 1 for the first of `lines`
        std::string message;   // as logged: "脚本不正确：" and the line, letters in lower case (GBK)
    };
    struct Listed {
        int number = 0;        // from 1
        std::size_t line = 0;  // the line of `lines` it came from
        ScriptRecord record{};
        std::vector<std::string> entry;  // the log lines after "第N行:…" (GBK)
    };
    std::vector<Refused> refused;
    std::vector<Listed> records;
};
void ListScriptBytes(std::span<const std::string> lines, ScriptRecordBuffer& recordBuffer, LogSink& log,
                     ScriptListing* listing = nullptr);

}  // namespace tavrel
