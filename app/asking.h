// The session's questions, put to the person at the window as dialogs. When dialogs may not be
// shown (scripting mode) it says so, and the session decides from its options.
#pragma once

#include <optional>

#include "app/session/committer.h"

class QWidget;

namespace qv {

// Export Settings' question: every page (false), only what differs from Windows' defaults (true),
// or nothing when cancelled.
std::optional<bool> askExportOnlyChanged(QWidget* parent);

class WindowQuestions : public Questions {
public:
    explicit WindowQuestions(QWidget* parent) : parent_(parent) {}
    bool canAsk() const override;
    RunningPrefix reachRunningWine(const QString& folder, const QString& action) override;
    bool deleteBranches(const QStringList& branches) override;
    bool undoOverChanges(const QString& when, const QStringList& changed) override;
    bool restore(const reg::ChangeSet& restores, const QString& when) override;
    bool importOthers(const reg::ChangeSet& others, const QString& file) override;
    void working(bool on) override;

private:
    QWidget* parent_;
    int pointer_ = 0;
};

}  // namespace qv
