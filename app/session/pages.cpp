#include "app/session/pages.h"

#include <stdexcept>
#include <string>

namespace qv {

void PageTable::setLoadBlock(int node, Block block) {
    if (!hasLoadSlot(node))
        throw std::logic_error("node " + std::to_string(node) + " has no step in the load pass");
    loadBlocks_[node] = std::move(block);
}

void PageTable::setSaveBlock(int node, Block block) {
    if (!hasSaveSlot(node))
        throw std::logic_error("node " + std::to_string(node) + " has no step in the save pass");
    saveBlocks_[node] = std::move(block);
}

bool PageTable::hasLoadBlock(int node) const {
    return node >= 1 && node <= kNodeCount && static_cast<bool>(loadBlocks_[node]);
}

bool PageTable::hasSaveBlock(int node) const {
    return node >= 1 && node <= kNodeCount && static_cast<bool>(saveBlocks_[node]);
}

void PageTable::loadWhenShown(int node) {
    if (!hasLoadSlot(node))
        throw std::logic_error("node " + std::to_string(node) + " has no step in the load pass");
    whenShown_.insert(node);
}

void PageTable::addToProfile(reg::Machine& machine, reg::ChangeSet* profile) const {
    for (const auto& [node, block] : profileBlocks_)
        block(machine, profile);
}

void PageTable::runLoad(Pass& pass, const std::function<bool(int)>& wanted) const {
    for (size_t i = 0; i < kLoadOrder.size(); ++i) {
        const int node = kLoadOrder[i].node;
        if (!loadBlocks_[node] || !wanted(node))
            continue;
        pass.enterBlock(static_cast<int>(i + 1), node);
        pass.step([&] { loadBlocks_[node](pass); });
    }
}

void PageTable::runSave(Pass& pass, reg::Machine& machine, const std::set<int>& keep,
                        const std::function<void(int)>& entering) const {
    struct Range {
        int node;
        reg::Machine::Mark from, to;
    };
    std::vector<Range> ranges;
    const reg::Machine::Mark start = machine.mark();
    pass.setPageHook([&](int node) {
        if (entering)
            entering(node);
        ranges.back().to = machine.mark();
        ranges.push_back({node, machine.mark(), {}});
    });
    for (size_t i = 0; i < kSaveOrder.size(); ++i) {
        const int node = kSaveOrder[i].node;
        if (!saveBlocks_[node])
            continue;
        pass.enterBlock(static_cast<int>(i + 1), node);
        if (entering)
            entering(node);
        ranges.push_back({node, machine.mark(), {}});
        pass.step([&] { saveBlocks_[node](pass); });
        ranges.back().to = machine.mark();
    }
    pass.setPageHook({});
    pass.enterBlock(0, 0);
    // Every block ran, so each saw the accessor as the one before it left it; now only what
    // changed pages wrote is kept.
    bool dropAny = false;
    for (const Range& r : ranges)
        dropAny |= !keep.count(r.node);
    if (!dropAny)
        return;
    std::vector<std::pair<reg::Machine::Mark, reg::Machine::Mark>> kept;
    for (const Range& r : ranges)
        if (keep.count(r.node))
            kept.emplace_back(r.from, r.to);
    machine.keepOnly(start, kept);
    pass.rollbackWindow([&](int node) { return !keep.count(node); });
}

}  // namespace qv
