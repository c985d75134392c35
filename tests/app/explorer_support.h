// Shared by the tests of the Explorer pages: a window over a fresh
// own machine, values put into the machine's files before the window reads them, the exact
// stored form of what Apply wrote, the file dialog answered by the test, and a script run.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/script.h"
#include "app/nodes.h"
#include "app_support.h"
#include "stored_value.h"

namespace qvtest::explorer {

namespace reg = qv::reg;
namespace tk = qv::tk;

using qvtest::binary;
using qvtest::dword;
using qvtest::Stored;
using qvtest::sz;

inline std::optional<Stored> storedIn(reg::RegistryApi& api, int32_t root, const std::string& key,
                                      const std::string& value) {
    reg::HKey k = nullptr;
    if (api.openKey(root, key, &k) != 0)
        return std::nullopt;
    Stored s;
    const int32_t status = api.queryValue(k, value, &s.type, &s.data);
    api.closeKey(k);
    return status == 0 ? std::optional<Stored>(s) : std::nullopt;
}

// The caption a button, check box, option button or label shows.
inline QString captionOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    return {};
}

template <class T>
T* control(qv::frmMain& form, const QString& name) {
    T* c = form.findChild<T*>(name);
    if (!c)
        throw std::runtime_error("no control " + name.toStdString());
    return c;
}

// Answers the file-open dialog with `answer` (nothing: Cancel) and keeps how it was asked.
class FileDialogAnswer {
public:
    explicit FileDialogAnswer(std::optional<QString> answer) : answer_(std::move(answer)) {
        tk::setFileDialogHook([this](const tk::CommonDialog& d) {
            asked.push_back(d);
            return answer_;
        });
    }
    ~FileDialogAnswer() { tk::setFileDialogHook({}); }
    std::vector<tk::CommonDialog> asked;

private:
    std::optional<QString> answer_;
};

struct ScriptResult {
    int status = 2;
    std::string out, err;
};

// quorvel --machine DIR ARGS..., run in this process as main() runs it.
inline ScriptResult runQuorvel(const std::filesystem::path& machine, const QStringList& args) {
    ScriptResult r;
    std::ostringstream out, err;
    try {
        QStringList all{QStringLiteral("--machine"), QString::fromStdString(machine.string())};
        all << args;
        r.status = qv::cli::runScript(qv::cli::parse(all), out, err);
    } catch (const qv::ctl::UsageError& e) {
        err << e.what();
    }
    r.out = out.str();
    r.err = err.str();
    return r;
}

class ExplorerTest : public WindowTest {
protected:
    std::filesystem::path folder() const { return dir_.path() / "machine"; }

    // Into the machine's files, as another program would have left it (past the accessor's rules).
    void put(int32_t root, const std::string& key, const std::string& value, const Stored& s) {
        reg::HKey k = nullptr;
        if (machine().createKey(root, key, &k) != 0)
            throw std::runtime_error("cannot create " + key);
        const int32_t status = machine().setValue(k, value, s.type, s.data);
        machine().closeKey(k);
        if (status != 0)
            throw std::runtime_error("cannot store " + key + "\\" + value);
        commit();
    }
    void putString(int32_t root, const std::string& key, const std::string& value, const std::string& text) {
        put(root, key, value, sz(text));
    }
    void unset(int32_t root, const std::string& key, const std::string& value) {
        reg::HKey k = nullptr;
        if (machine().openKey(root, key, &k) == 0) {
            machine().deleteValue(k, value);
            machine().closeKey(k);
        }
        commit();
    }
    void removeKey(int32_t root, const std::string& key) {
        machine().deleteKey(root, key);
        commit();
    }
    void commit() {
        if (machine().hasChanges())
            machine().commit();
    }

    // Through a machine opened afresh from the folder, so only what was committed counts.
    std::optional<Stored> stored(int32_t root, const std::string& key, const std::string& value) {
        auto fresh = reg::Machine::openOwn(folder());
        return storedIn(*fresh, root, key, value);
    }
    bool keyStored(int32_t root, const std::string& key) {
        auto fresh = reg::Machine::openOwn(folder());
        reg::HKey k = nullptr;
        if (fresh->openKey(root, key, &k) != 0)
            return false;
        fresh->closeKey(k);
        return true;
    }

    template <class T>
    T* ctl(const QString& name) {
        return control<T>(form(), name);
    }
    tk::OptionButton* opt(const QString& name) { return ctl<tk::OptionButton>(name); }
    tk::CheckBox* chk(const QString& name) { return ctl<tk::CheckBox>(name); }
    tk::TextBox* txt(const QString& name) { return ctl<tk::TextBox>(name); }
    QPushButton* cmd(const QString& name) { return ctl<QPushButton>(name); }

    // As a user does it: the page's node is selected first.
    void show(int node) { form().selectNode(node); }
    // Check boxes and option buttons take clicks on their box and caption only: near the left.
    void click(QWidget* w) {
        const bool boxed = qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w);
        mouseClick(w, boxed ? QPoint(6, w->height() / 2) : w->rect().center());
    }
    // These suites check what each page's block writes, so every page counts as changed, as
    // after a user has been through them all; what is written for untouched pages is tested apart.
    void apply() {
        for (int node = 1; node <= qv::kNodeCount; ++node) form().markPageChanged(node);
        form().cmdApply_Click();
    }
    void reload() { form().mnuFileReloadSettings_Click(); }
    // Through the control's name, as --set does.
    void set(const QString& name, const QString& value) {
        qv::ctl::setControl(form(), qv::ctl::findControl(form(), name), value);
    }
};

// Twip geometry as the toolkit places it.
inline QRect twips(int left, int top, int width, int height) {
    return QRect(tk::px(left), tk::px(top), tk::px(width), tk::px(height));
}

// A control where its page puts it: on that page's frame, at its rectangle, with its caption
// (none to check when null). Call through ASSERT_NO_FATAL_FAILURE.
struct Placed {
    const char* name;
    int page;
    const char* caption;
    QRect rect;
};
inline void expectPlaced(qv::frmMain& f, const Placed& e, bool enabled = false) {
    const qv::ctl::Control c = qv::ctl::findControl(f, e.name);
    EXPECT_EQ(c.page, e.page) << e.name;
    auto* w = qobject_cast<QWidget*>(c.object.data());
    ASSERT_NE(w, nullptr) << e.name;
    EXPECT_EQ(w->parentWidget(), f.fraOption(e.page)) << e.name;
    EXPECT_EQ(w->geometry(), e.rect) << e.name;
    if (enabled) {
        EXPECT_TRUE(w->isEnabled()) << e.name;
    }
    if (e.caption) {
        EXPECT_EQ(captionOf(w), e.caption) << e.name;
    }
}

}  // namespace qvtest::explorer
