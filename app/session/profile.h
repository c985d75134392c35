// Settings profiles that travel: what the pages set, written so that another machine takes it as
// meant (the 'New' menu's switches with what each entry holds, paths through the machine's
// variables), optionally only what differs from Windows' defaults.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "registry/changeset.h"

namespace qv::reg {
class RegistryApi;
}

namespace qv {

// The 'New' menu entries as the page shows them (the key under HKEY_CLASSES_ROOT, switched on),
// added to a profile: each entry's key under the name its switch gives ("ShellNew" or
// "ShellNew-") with everything it holds, and the other name deleted.
void addNewMenuState(reg::RegistryApi& api, const std::vector<std::pair<std::string, bool>>& entries,
                     reg::ChangeSet* profile);

// Expandable strings that start with the machine's Windows folder name it through %SystemRoot%,
// so that they hold on a machine whose Windows folder is elsewhere.
void portablePaths(reg::ChangeSet* profile, const std::string& windowsDirectory);

// Only what a profile changes on a fresh machine (Windows' own settings, as a new own machine
// holds them): values set to what they already are there, and deletions of what is not there, go.
reg::ChangeSet changedFromDefaults(const reg::ChangeSet& profile);

}  // namespace qv
