#pragma once

#include <QString>

class QFont;
class QWidget;

namespace tavrel {

// The window's font: "MS Sans Serif" at 11 pixels, as the layout was drawn with.
inline constexpr const char* kWindowFontFamily = "MS Sans Serif";

// The layout names Windows font families ("MS Sans Serif", "Courier New", "MS Serif") that other
// systems do not have. Each is resolved here once to the family the system's font configuration
// picks for it, which is the family that a look-up of the name finds, so widgets get the same
// font without a look-up of a missing family (and its fallbacks) for every font they ask for.
// `font` is one the window uses (its size too): the look-up loads what drawing in it would load
// anyway.
QString ResolvedFamily(const QFont& font);

// Gives `root` and every widget in it whose font names one of those families the resolved
// family instead; sizes and styles stay.
void UseResolvedFamilies(QWidget& root);

}  // namespace tavrel
