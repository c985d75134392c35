// The option pages as a session sees them: each page's load and save blocks in the slots of the
// pass tables, the pages that may wait until they are first shown, and what a page adds to a
// settings profile beyond its save block. The blocks talk to the controls; the table does not.
#pragma once

#include <QString>
#include <array>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "app/nodes.h"
#include "app/pass.h"
#include "registry/machines/machine.h"

namespace qv {

// A page's settings as its controls hold them: page -> (control, value).
using PageValues = std::map<int, std::vector<std::pair<QString, QString>>>;

class PageTable {
public:
    // A node without a slot in that pass throws std::logic_error.
    void setLoadBlock(int node, Block block);
    void setSaveBlock(int node, Block block);
    bool hasLoadBlock(int node) const;
    bool hasSaveBlock(int node) const;
    // A page whose load costs more than the window may be loaded when it is first shown.
    void loadWhenShown(int node);
    bool mayWait(int node) const { return whenShown_.count(node) > 0; }
    // What a page adds to a settings profile, given the machine it is made from.
    using ProfileBlock = std::function<void(reg::Machine&, reg::ChangeSet*)>;
    void setProfileBlock(int node, ProfileBlock block) { profileBlocks_[node] = std::move(block); }
    void addToProfile(reg::Machine& machine, reg::ChangeSet* profile) const;

    // Runs the load blocks of the wanted nodes, in the pass's order.
    void runLoad(Pass& pass, const std::function<bool(int)>& wanted) const;
    // Runs every save block in order; the writes of blocks whose page is not in `keep` are
    // dropped afterwards, with what they did to the window.
    // `entering` hears each page whose writes follow.
    void runSave(Pass& pass, reg::Machine& machine, const std::set<int>& keep,
                 const std::function<void(int node)>& entering = {}) const;

private:
    std::array<Block, kNodeCount + 1> loadBlocks_;
    std::array<Block, kNodeCount + 1> saveBlocks_;
    std::set<int> whenShown_;
    std::map<int, ProfileBlock> profileBlocks_;
};

}  // namespace qv
