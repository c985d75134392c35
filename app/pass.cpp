#include "app/pass.h"

#include <exception>

#include "app/nodes.h"

namespace qv {

const std::array<PassSlot, 21> kLoadOrder = {{
    {16, "fill the drive list and read the hidden drives"},
    {4, "Explore From Here"},
    {5, "MS-DOS prompt on directories"},
    {6, "command on all files"},
    {8, "network overlay icon"},
    {10, "shortcut overlay icon"},
    {11, "shortcut name prefix"},
    {14, "bitmaps shown as icons"},
    {13, "save settings on exit"},
    {31, "registered owner and organization"},
    {32, "setup path"},
    {18, "program for non-associated files"},
    {17, "'New' menu list"},
    {26, "menu speed"},
    {23, "'Click Here to Begin'"},
    {33, "task manager timeouts"},
    {21, "audio CD autoplay"},
    {22, "autoplay drive types"},
    {24, "window animation"},
    {30, "tilde on short file names"},
    {15, "Explore as default"},
}};

const std::array<PassSlot, 20> kSaveOrder = {{
    {16, "write the hidden drives"},
    {4, "Explore From Here"},
    {5, "MS-DOS prompt on directories"},
    {6, "command on all files"},
    {8, "network overlay icon"},
    {10, "shortcut overlay icon"},
    {11, "shortcut name prefix"},
    {14, "bitmaps shown as icons"},
    {31, "registered owner and organization"},
    {32, "setup path"},
    {18, "program for non-associated files"},
    {17, "'New' menu list"},
    {26, "menu speed"},
    {23, "'Click Here to Begin'"},
    {33, "task manager timeouts"},
    {21, "audio CD autoplay"},
    {22, "autoplay drive types"},
    {24, "window animation"},
    {30, "tilde on short file names"},
    {15, "Explore as default"},
}};

bool hasLoadSlot(int node) {
    for (const PassSlot& s : kLoadOrder)
        if (s.node == node)
            return true;
    return false;
}

bool hasSaveSlot(int node) {
    for (const PassSlot& s : kSaveOrder)
        if (s.node == node)
            return true;
    return false;
}

Pass::Pass(Kind kind, reg::cRegistry& reg, FailureSink sink)
    : kind_(kind), reg_(reg), sink_(std::move(sink)) {}

void Pass::enterBlock(int step, int node) {
    step_ = step;
    node_ = node;
}

void Pass::onRollback(std::function<void()> undo) { undo_.emplace_back(node_, std::move(undo)); }

void Pass::rollbackWindow(const std::function<bool(int)>& which) {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
        if (which && !which(it->first))
            continue;
        step([&] { it->second(); });
    }
    std::erase_if(undo_, [&](const auto& u) { return !which || which(u.first); });
}

void Pass::noteFailure(std::exception_ptr e) noexcept {
    try {
        QString why;
        try {
            std::rethrow_exception(e);
        } catch (const reg::RegError& err) {
            why = QStringLiteral("registry error %1: %2")
                      .arg(err.number())
                      .arg(QString::fromStdString(err.description().empty() ? std::string("type mismatch")
                                                                            : err.description()));
        } catch (const std::exception& err) {
            why = QString::fromLocal8Bit(err.what());
        } catch (...) {
            why = QStringLiteral("unknown failure");
        }
        QString where = kind_ == Kind::Load ? QStringLiteral("load") : QStringLiteral("save");
        if (step_ > 0) {
            const NodeInfo* n = nodeByIndex(node_);
            where += QStringLiteral(" step %1 (%2)").arg(step_).arg(
                n ? QString::fromUtf8(n->text) : QString::number(node_));
        }
        QString line = where + QStringLiteral(": ") + why;
        if (sink_)
            sink_(line);
        failures_.push_back(std::move(line));
    } catch (...) {
        // Reporting must never end a pass.
    }
}

}  // namespace qv
