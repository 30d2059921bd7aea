#include "app/font_families.h"

#include <array>
#include <map>

#include <QFont>
#include <QFontInfo>
#include <QWidget>

namespace tavrel {

namespace {

constexpr std::array<const char*, 3> kWindowsFamilies = {"MS Sans Serif", "Courier New", "MS Serif"};

}  // namespace

QString ResolvedFamily(const QFont& font) {
    static std::map<QString, QString> resolved;  // event thread only
    const auto found = resolved.find(font.family());
    if (found != resolved.end()) return found->second;
    // QFontInfo asks the font database the way drawing text does: the family it reports is the
    // one that text in the font's family is drawn with.
    const QString family = QFontInfo(font).family();
    resolved.emplace(font.family(), family);
    return family;
}

void UseResolvedFamilies(QWidget& root) {
    const auto resolve = [](QWidget& widget) {
        QFont font = widget.font();
        for (const char* windows : kWindowsFamilies) {
            if (font.family() == QLatin1String(windows)) {
                font.setFamily(ResolvedFamily(font));
                widget.setFont(font);
                return;
            }
        }
    };
    resolve(root);
    for (QWidget* child : root.findChildren<QWidget*>())
        resolve(*child);
}

}  // namespace tavrel
