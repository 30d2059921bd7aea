#include "app/app_support.h"

#include <array>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>

#include "common/gbk_text.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

std::string BuildDateTextFrom(std::string_view compilerDate) {
    static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (compilerDate.size() != 11) return {};
    int month = 0;
    for (std::size_t i = 0; i < kMonths.size(); ++i) {
        if (compilerDate.substr(0, 3) == kMonths[i]) month = static_cast<int>(i) + 1;
    }
    const int day = ReadInteger(compilerDate.substr(4, 2));
    const int year = ReadInteger(compilerDate.substr(7, 4));
    if (month == 0 || day < 1 || day > 31 || year < 1) return {};
    return FormatText("%d-%02d-%02d", year, month, day);
}

QString ExecutableFolder() {
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
}

bool ProductionMarkerPresent(const QString& folder) {
    return QFileInfo(folder + ".pro").isFile();
}

std::vector<std::string> MemoLines(const QPlainTextEdit& memo) {
    return SplitLines(ToGbk(memo.toPlainText()));
}

}  // namespace tavrel
