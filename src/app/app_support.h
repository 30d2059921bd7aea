#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <QString>

class QPlainTextEdit;

namespace tavrel {

// The build date as "%d-%02d-%02d" from a compiler date such as "Oct  9 2021"; empty when the
// text is no such date.
std::string BuildDateTextFrom(std::string_view compilerDate);

// The date this executable was built, for example 2021-10-09.
std::string BuildDateText();

// The folder of the running executable, ending in the path separator.
QString ExecutableFolder();

// Whether a file (not a folder) named ".pro" lies in `folder` (which ends in a separator).
bool ProductionMarkerPresent(const QString& folder);

// The lines of a text box as GBK bytes, as the box shows them.
std::vector<std::string> MemoLines(const QPlainTextEdit& memo);

}  // namespace tavrel
