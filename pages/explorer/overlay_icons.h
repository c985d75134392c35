// The overlay icon pages: the shared-item overlay (page 8, value "28") and the shortcut arrow
// (page 10, value "29") of Explorer's "Shell Icons" key. Steps 5 and 6 of both passes.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

namespace qv::explorer {

inline constexpr int kOverlayIcon = 8;
inline constexpr int kShortcutOverlay = 10;

// Under HKEY_LOCAL_MACHINE; both values are icon locations stored as REG_SZ.
inline constexpr const char* kShellIconsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons";
inline constexpr const char* kShareOverlayValue = "28";
inline constexpr const char* kShortcutOverlayValue = "29";

// The spin controls' range; its top end sits at the up arrow, so the up arrow raises the index.
inline constexpr int kSpinTop = 32000;
inline constexpr int kSpinBottom = -32000;

// Windows' own overlays, used when a value is missing or empty.
std::string DefaultShareOverlay();     // SystemDirectory() & "\shell32.dll,28"
std::string DefaultShortcutOverlay();  // SystemDirectory() & "\shell32.dll,29"

// The icon index an index text stands for: the number it begins with (0 without one), rounded
// half to even. Throws tk::ConversionError when that number does not fit 32 bits.
int32_t IndexNumber(const QString& indexText);

// Which optShortcutIcon button a stored location selects, letter case ignored: 0 "Normal" (the
// default or ""), 1 "Light Arrow" (own executable ",1"), 3 "None" (",2"), 2 "Custom" otherwise.
int ShortcutChoiceOf(const std::string& location);

}  // namespace qv::explorer
