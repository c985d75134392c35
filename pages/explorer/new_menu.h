// The 'New' menu page (17): the file types the shell's "New" submenu offers, each switched off by
// renaming its "ShellNew" key to "ShellNew-" and back on by renaming it again.
#pragma once

#include <string>

namespace qv {
class Pass;
namespace reg {
class RegistryApi;
}
namespace tk {
class CheckListView;
}
}  // namespace qv

namespace qv::pages {

inline constexpr int kNewMenuNode = 17;

// The load block: one entry per "ShellNew"/"ShellNew-" key found for an extension of
// HKEY_CLASSES_ROOT. Entries already in the list stay where they are and only get their check
// mark refreshed (an entry whose key was renamed to or from "ShellNew-" takes the new name); keys
// not listed yet are appended, and entries whose keys are gone are removed.
void loadNewMenu(Pass& pass, tk::CheckListView& lv);

// The save block: moves the key of every entry whose check mark disagrees with its name, and
// re-keys the entry once its key has moved.
void saveNewMenu(Pass& pass, tk::CheckListView& lv);

// Renames a key below HKEY_CLASSES_ROOT through an accessor of its own: the store copies the whole
// subtree (every level, types and bytes as stored, empty keys too) onto the destination, merging
// into a destination that exists with the source winning, and only then is the source deleted.
// Throws reg::RegError when the copy or the deletion fails; the source is then still there.
void MoveRegistryKey(reg::RegistryApi& api, const std::string& source, const std::string& destination);

}  // namespace qv::pages
