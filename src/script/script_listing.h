#pragma once

#include <span>
#include <string>

#include "common/log_sink.h"
#include "script/script_record.h"

namespace tavrel {

// Lists the byte text lines (GBK) to `log`: each non-blank line must hold exactly one 3-byte
// record; good records are numbered from 1 and named by kind and fields. The first 42 records
// taken are stored one after another in `recordBuffer`; further ones are listed but not stored.
void ListScriptBytes(std::span<const std::string> lines, ScriptRecordBuffer& recordBuffer, LogSink& log);

}  // namespace tavrel
