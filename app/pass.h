// The load and save passes: their fixed block order, and the rule that a failing step is skipped.
#pragma once

#include <QString>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "registry/cregistry.h"

namespace qv {

// One slot of a pass: the page (node index) whose block runs at that step.
struct PassSlot {
    int node;
    const char* what;
};

// Load steps 1..21 and save steps 1..20. "Save Settings" (13) is read but never written;
// category pages, "Beep on Errors" (29) and "Menu Order" (27) have no block in either pass.
extern const std::array<PassSlot, 21> kLoadOrder;
extern const std::array<PassSlot, 20> kSaveOrder;
bool hasLoadSlot(int node);
bool hasSaveSlot(int node);

// One run of a pass, handed to every block. All blocks share its one accessor, whose properties
// carry over from block to block.
class Pass {
public:
    enum class Kind { Load, Save };
    using FailureSink = std::function<void(const QString&)>;

    Pass(Kind kind, reg::cRegistry& reg, FailureSink sink = {});

    Kind kind() const { return kind_; }
    reg::cRegistry& reg() { return reg_; }

    // Runs one step. An accessor error, a control's refusal or a failed conversion ends the step;
    // the pass goes on with the next one and nothing is rolled back.
    template <class F>
    void step(F&& f) noexcept {
        try {
            f();
        } catch (...) {
            noteFailure(std::current_exception());
        }
    }

    // The test of a conditional. A test that fails counts as holding, so the branch written for
    // "true" runs, as the next statement after a failed test would.
    template <class F>
    bool test(F&& f) noexcept {
        try {
            return static_cast<bool>(f());
        } catch (...) {
            noteFailure(std::current_exception());
            return true;
        }
    }

    // Which block runs now; failures are reported with it.
    void enterBlock(int step, int node);
    int node() const { return node_; }
    // Within a block, the writes that follow belong to another page (a block may save two pages).
    void enterPage(int node) {
        node_ = node;
        if (pageHook_)
            pageHook_(node);
    }
    void setPageHook(std::function<void(int node)> hook) { pageHook_ = std::move(hook); }

    // A change a save block made to the window itself (not to the registry), with how to take it
    // back when the block's registry writes are dropped or never committed.
    void onRollback(std::function<void()> undo);
    // Takes back, newest first, what the blocks of the given pages (every page when null) did to
    // the window.
    void rollbackWindow(const std::function<bool(int node)>& which = {});
    const std::vector<QString>& failures() const { return failures_; }

private:
    void noteFailure(std::exception_ptr e) noexcept;

    Kind kind_;
    reg::cRegistry& reg_;
    FailureSink sink_;
    int step_ = 0;
    int node_ = 0;
    std::vector<QString> failures_;
    std::vector<std::pair<int, std::function<void()>>> undo_;
    std::function<void(int)> pageHook_;
};

using Block = std::function<void(Pass&)>;

}  // namespace qv
