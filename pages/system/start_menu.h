// The Start Menu pages: the submenu delay (26) and the reset of the user's menu order (27).
#pragma once

#include <QString>

namespace qv {
class frmMain;
namespace reg {
class RegistryApi;
}
}  // namespace qv

namespace qv::pages {

inline constexpr const char* kDesktopKey = "Control Panel\\Desktop";
inline constexpr const char* kMenuOrderKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder";

inline constexpr const char* kMenuOrderResetText = "Your Start menu order has been reset to alphabetical order.";
inline constexpr const char* kMenuOrderAskText =
    "Reset the Start menu to alphabetical order? The order you arranged is removed; Undo Last Apply "
    "brings it back.";
inline constexpr const char* kMenuOrderFailedText =
    "Your Start menu order could not be reset: its registry key could not be deleted.";

// Deletes the "MenuOrder" key with all its subkeys through an accessor of its own. True when the
// key is gone afterwards, which includes there having been none.
bool ResetMenuOrder(reg::RegistryApi& api);

// The button's action: the deletion, at once and outside the passes, one commit, then the notice.
void cmdResetMenuOrder_Click(frmMain& form);

}  // namespace qv::pages
