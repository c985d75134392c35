// The review in words: each page's changed setting named with its label and its old and new text
// as the page shows them, what no page owns under "Other registry changes", and an opened file's
// review that applies to several machines at once.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <fstream>
#include <map>

#include "app/controls.h"
#include "app/historydialog.h"
#include "app/importreview.h"
#include "app/nodes.h"
#include "app_support.h"
#include "registry/machines/machine.h"

namespace {

namespace fs = std::filesystem;
using qv::ControlChange;
using qv::Wording;

const Wording::Group* groupOf(const Wording& w, int node) {
    for (const Wording::Group& g : w.groups)
        if (g.node == node)
            return &g;
    return nullptr;
}

class ReviewWords : public qvtest::WindowTest {
protected:
    Wording words() {
        const qv::reg::ChangeSet cs = form().session().pendingChanges();
        return form().session().pendingWords(cs);
    }
    void set(const QString& name, const QString& value) {
        qv::ctl::setControl(form(), qv::ctl::findControl(form(), name), value);
    }
    fs::path writeFile(const std::string& name, const std::string& text) {
        const fs::path p = dir_.path() / name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
};

// The texts a person reads, for one setting of each kind.
TEST_F(ReviewWords, OneSettingOfEachKindIsNamedWithItsPageAndShownTexts) {
    struct Row {
        const char* control;
        const char* value;
        const char* label;
        const char* before;
        const char* after;
    };
    const Row rows[] = {
        {"sldMenuShowDelay", "100", "Menu Speed", "400 ms", "100 ms"},
        {"chkAnimateWindows", "0", "Animate Windows", "enabled", "disabled"},
        {"optExploreFromHere(0)", "1", "Explore From Here", "Disabled", "Enabled"},
        {"lvNewMenu[.bmp\\ShellNew]", "0", "Bitmap Image", "enabled", "disabled"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.control);
        const qv::ctl::Control c = qv::ctl::findControl(form(), QString::fromLatin1(r.control));
        set(c.name, QString::fromLatin1(r.value));
        const Wording w = words();
        const Wording::Group* g = groupOf(w, c.page);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->caption, QString::fromUtf8(qv::nodeByIndex(c.page)->text));
        ASSERT_NE(g->soleControl(), nullptr);
        EXPECT_EQ(g->soleControl()->label, QString::fromLatin1(r.label));
        EXPECT_EQ(g->soleControl()->before, QString::fromLatin1(r.before));
        EXPECT_EQ(g->soleControl()->after, QString::fromLatin1(r.after));
        // The JSON names the same setting for the page's operations.
        const std::string json = form().session().pendingChangesJson();
        EXPECT_NE(json.find("\"label\": \"" + std::string(r.label) + "\""), std::string::npos) << json;
        form().session().load();
    }
}

// Every page: its first setting that can be changed, changed, is reviewed under that page with
// that setting, and nothing falls under "Other".
TEST_F(ReviewWords, EveryPagesChangeIsGroupedUnderItsPage) {
    std::map<int, std::vector<qv::ctl::Control>> settable;
    for (const qv::ctl::Control& c : qv::ctl::listControls(form()))
        if (c.page > 0 && QStringList{"checkbox", "slider", "scrollbar", "listitem", "textbox", "option", "listbox"}.contains(c.kind))
            settable[c.page].push_back(c);
    int reviewed = 0;
    for (const auto& [node, controls] : settable) {
        form().selectNode(node);
        for (const qv::ctl::Control& c : controls) {
            const QString was = qv::ctl::valueOf(c);
            if (!qv::ctl::enabledOf(c) || !qv::ctl::visibleOf(form(), c) ||
                (c.kind == QLatin1String("option") && was == QLatin1String("1")))
                continue;
            SCOPED_TRACE(c.name.toStdString());
            QString now;
            if (c.kind == QLatin1String("textbox"))
                now = was + QStringLiteral("x");
            else if (c.kind == QLatin1String("listbox"))
                now = was.isEmpty() ? QStringLiteral("A:") : QString();
            else if (c.kind == QLatin1String("checkbox") || c.kind == QLatin1String("listitem") || c.kind == QLatin1String("option"))
                now = was == QLatin1String("1") ? QStringLiteral("0") : QStringLiteral("1");
            else
                now = QString::number(was.toInt() == 0 ? 1 : was.toInt() - 1);
            set(c.name, now);
            const Wording w = words();
            const Wording::Group* g = groupOf(w, node);
            ASSERT_NE(g, nullptr);
            EXPECT_FALSE(g->ops.empty());
            EXPECT_EQ(groupOf(w, 0), nullptr) << "a page's own value fell under Other";
            ASSERT_FALSE(g->controls.empty());
            EXPECT_NE(g->controls[0].before, g->controls[0].after);
            ++reviewed;
            form().session().load();
            break;
        }
    }
    EXPECT_GE(reviewed, 21);  // every page with a setting enabled on a fresh machine
}

// A file's values no page owns are listed apart; an edit made before opening it is kept, and
// reviewed with the file's settings.
TEST_F(ReviewWords, AnOpenedFileKeepsUnsavedEditsAndListsOtherValuesApart) {
    qv::tk::setInteractive(false);
    set(QStringLiteral("chkAnimateWindows"), QStringLiteral("0"));
    const fs::path file = writeFile("fix.reg",
                                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"150\"\n\n"
                                    "[HKEY_CURRENT_USER\\Software\\Vendor\\Game]\n\"Fix\"=dword:00000001\n");
    ASSERT_TRUE(form().openRegistryFile(file));
    qv::tk::setInteractive(true);
    qv::tk::takeRefusedDialogs();
    EXPECT_EQ(qv::ctl::valueOf(qv::ctl::findControl(form(), QStringLiteral("chkAnimateWindows"))), QStringLiteral("0"));
    const Wording w = words();
    std::map<QString, QString> said;
    for (const Wording::Group& g : w.groups)
        for (const ControlChange& c : g.controls)
            said[c.label] = c.before + QStringLiteral(" -> ") + c.after;
    EXPECT_EQ(said[QStringLiteral("Menu Speed")], QStringLiteral("400 ms -> 150 ms"));
    EXPECT_EQ(said[QStringLiteral("Animate Windows")], QStringLiteral("enabled -> disabled"));
    const Wording::Group* other = groupOf(w, 0);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->caption, qv::otherChangesCaption());
    const qv::reg::ChangeSet cs = form().session().pendingChanges();
    bool fixListed = false;
    for (size_t i : other->ops)
        fixListed = fixListed || cs.ops[i].name == u"Fix";
    EXPECT_TRUE(fixListed);
    // The raw lines sit under the setting's row.
    qv::ReviewModel model(cs, w);
    bool rawShown = false;
    for (int g = 0; g < model.rowCount(); ++g) {
        const QModelIndex group = model.index(g, 0);
        if (model.data(group).toString() != QLatin1String("Menu Speed"))
            continue;
        const QModelIndex setting = model.index(0, 0, group);
        for (int l = 0; l < model.rowCount(setting); ++l)
            rawShown = rawShown || model.data(model.index(l, 0, setting)).toString() == QLatin1String("\"MenuShowDelay\"=\"150\"");
    }
    EXPECT_TRUE(rawShown);
}

// One Apply in an opened file's review goes to every ticked machine, each with its own result;
// a machine left unticked is not touched, and a second Apply finds nothing to change.
TEST_F(ReviewWords, TheImportReviewAppliesToEveryTickedMachine) {
    std::vector<qv::cli::NamedMachine> others;
    for (int i = 0; i < 3; ++i) {
        const fs::path folder = dir_.path() / ("other" + std::to_string(i));
        qv::reg::Machine::open(qv::reg::Machine::Kind::Own, folder);
        others.push_back({"other" + std::to_string(i), folder, qv::reg::Machine::Kind::Own});
    }
    const std::string untouched = qvtest::fileBytes(others[2].folder / "user.reg");
    const fs::path file = writeFile("fix.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"150\"\n");
    auto run = [&] {
        qv::tk::setInteractive(false);
        EXPECT_TRUE(form().openRegistryFile(file));
        qv::tk::setInteractive(true);
        qv::tk::takeRefusedDialogs();
        const qv::reg::ChangeSet cs = form().session().pendingChanges();
        qv::cli::NamedMachine here{"here", form().machine().folder(), form().machine().kind()};
        qv::ImportReviewDialog dlg(cs, form().session().pendingWords(cs), file, here, others,
                                   [] { return qv::cli::FileResult{qv::cli::FileResult::Failed, "not used"}; });
        QTreeWidget* list = dlg.machines();
        EXPECT_EQ(list->topLevelItemCount(), 4);
        list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);  // the window's own Apply is tested elsewhere
        list->topLevelItem(1)->setCheckState(0, Qt::Checked);
        list->topLevelItem(2)->setCheckState(0, Qt::Checked);
        dlg.applyToTicked();
        return std::vector<QString>{list->topLevelItem(1)->text(2), list->topLevelItem(2)->text(2), list->topLevelItem(3)->text(2)};
    };
    const std::vector<QString> first = run();
    EXPECT_EQ(first[0], QStringLiteral("changed 1 values"));
    EXPECT_EQ(first[1], QStringLiteral("changed 1 values"));
    EXPECT_TRUE(first[2].isEmpty());
    EXPECT_EQ(qvtest::fileBytes(others[2].folder / "user.reg"), untouched);
    const std::string after = qvtest::fileBytes(others[0].folder / "user.reg");
    EXPECT_NE(after.find("\"MenuShowDelay\"=\"150\""), std::string::npos);
    form().session().load();
    const std::vector<QString> second = run();
    EXPECT_EQ(second[0], QStringLiteral("already as the file says"));
    EXPECT_EQ(qvtest::fileBytes(others[0].folder / "user.reg"), after);
}

}  // namespace

namespace {

// File > History lists N applies after N, newest first and in words; restoring to before the
// first brings back every value as it was, and is itself a new entry.
TEST_F(ReviewWords, HistoryListsEveryApplyAndRestoresToBeforeOne) {
    const QString start = qv::ctl::valueOf(qv::ctl::findControl(form(), QStringLiteral("sldMenuShowDelay")));
    for (const char* delay : {"100", "200", "300"}) {
        set(QStringLiteral("sldMenuShowDelay"), QString::fromLatin1(delay));
        ASSERT_TRUE(form().SaveSettings());
    }
    qv::HistoryDialog dlg([this] { return form().session().history(); }, form().session().valueOwners(),
                          [this](const std::string& id) { return form().tell(form().session().restoreTo(id)); });
    QTreeWidget* list = dlg.entries();
    ASSERT_EQ(list->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(list->topLevelItem(i)->text(1), QStringLiteral("Menu Speed"));
    // Newest first: the details of the first row set what the last Apply set.
    const QAbstractItemModel* details = dlg.details()->model();
    ASSERT_NE(details, nullptr);
    const QModelIndex row = details->index(0, 0, details->index(0, 0));
    EXPECT_EQ(details->data(row.siblingAtColumn(qv::ReviewModel::After)).toString(), QStringLiteral("\"300\""));
    list->setCurrentItem(list->topLevelItem(2));
    dlg.findChild<QPushButton*>(QStringLiteral("cmdHistoryRestore"))->click();
    EXPECT_EQ(list->topLevelItemCount(), 4);
    EXPECT_EQ(readFromDisk(qv::reg::HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay"),
              qv::reg::RegVariant(start.toStdString()));
    EXPECT_EQ(qv::ctl::valueOf(qv::ctl::findControl(form(), QStringLiteral("sldMenuShowDelay"))), start);
}

}  // namespace
