// What Apply writes for values the user did not touch, the two pages whose boxes name the
// opposite of their values, the Task Manager defaults, change marks after a failed Apply, and
// Enter on the tree.
#include <QApplication>
#include <QTreeWidget>

#include "app/controls.h"
#include "app_support.h"
#include "pages/explorer/explore_default.h"
#include "pages/explorer/menu_items.h"
#include "pages/explorer/overlay_icons.h"
#include "pages/system/general_settings.h"
#include "pages/system/system_settings.h"
#include "system_support.h"

using namespace qvtest;
namespace reg = qv::reg;

namespace {

constexpr int32_t HKCU = reg::HKEY_CURRENT_USER;
constexpr int32_t HKLM = reg::HKEY_LOCAL_MACHINE;

struct Place {
    const char* box;  // the control that shows the value
    int32_t root;
    std::string key;
    const char* value;
};

std::string classes(const char* key) { return std::string("Software\\Classes\\") + key; }

const std::vector<Place>& textPlaces() {
    static const std::vector<Place> places = {
        {"txtRegisteredName", HKLM, qv::pages::kVersionKey, "RegisteredOwner"},
        {"txtRegisteredCompany", HKLM, qv::pages::kVersionKey, "RegisteredOrganization"},
        {"txtCabFilePath", HKLM, qv::pages::kSetupKey, "SourcePath"},
        {"txtAddToAllFilesTitle", HKLM, classes(qv::explorer::kAllFilesKey), ""},
        {"txtAddToAllFilesCommand", HKLM, classes(qv::explorer::kAllFilesCommandKey), ""},
        {"txtCustomCommandInterpreter", HKLM, classes(qv::explorer::kPromptCommandKey), ""},
        {"txtUnassociatedFilesCaption", HKLM, qv::explorer::kOpenAsKey, ""},
        {"txtUnassociatedFilesCommand", HKLM, qv::explorer::kOpenAsCommandKey, ""},
        {"txtIconPath", HKLM, qv::explorer::kShellIconsKey, qv::explorer::kShareOverlayValue},
    };
    return places;
}

class AsRead : public PageTest {
protected:
    std::vector<uint8_t> mask() {
        const auto s = onDisk(HKCU, qv::pages::kExplorerPoliciesKey, "NoDriveTypeAutoRun");
        return s ? std::vector<uint8_t>(s->data.begin(), s->data.end()) : std::vector<uint8_t>{};
    }
    int checkedTypes() {
        int m = 0;
        for (int i = 0; i < 7; ++i)
            m |= value(QStringLiteral("chkAutoPlay(%1)").arg(i)).toInt() << i;
        return m;
    }
};

}  // namespace

TEST_F(AsRead, TextNobodyEditedKeepsItsTypeAndBytes) {
    // Forms the accessor would change when writing the text shown: an expandable string shown
    // expanded, and a plain one the "%" rule would store as expandable.
    const std::vector<Stored> forms = {
        sz("%SystemRoot%\\x.exe,3", reg::REG_EXPAND_SZ),
        sz("%SystemDrive%\\50% and 10% off", reg::REG_SZ),
    };
    for (const Stored& form : forms) {
        for (const Place& p : textPlaces())
            put(p.root, p.key, p.value, form);
        reload();
        // Shown as the page shows it (expanded where it expands) ...
        if (form.type == reg::REG_EXPAND_SZ) {
            EXPECT_EQ(value("txtCabFilePath"), "C:\\WINDOWS\\x.exe,3");
        }
        // ... and another page's change saves every page: these stay as they were.
        set("chkAnimateWindows", value("chkAnimateWindows") == "1" ? "0" : "1");
        apply();
        for (const Place& p : textPlaces())
            EXPECT_EQ(onDisk(p.root, p.key, p.value), form) << p.box << " from " << form;
    }
    // An edited box writes what it shows, by the accessor's rules.
    set("txtCabFilePath", "D:\\cabs");
    set("txtRegisteredName", "%USERNAME% at home");
    apply();
    EXPECT_EQ(onDisk(HKLM, qv::pages::kSetupKey, "SourcePath"), sz("D:\\cabs"));
    EXPECT_EQ(onDisk(HKLM, qv::pages::kVersionKey, "RegisteredOwner"), sz("%USERNAME% at home", reg::REG_EXPAND_SZ));
}

TEST_F(AsRead, TextLongerThanALineEditsDefaultLimitIsNeitherCutOnLoadNorOnSave) {
    std::string stored(40000, 'n');
    for (size_t i = 0; i < stored.size(); i += 97)
        stored[i] = static_cast<char>('a' + i % 26);
    put(HKLM, qv::pages::kVersionKey, "RegisteredOwner", sz(stored));
    reload();
    EXPECT_EQ(value("txtRegisteredName").toStdString(), stored);
    const std::string typed = stored + std::string(20000, 'z');
    set("txtRegisteredName", QString::fromStdString(typed));
    EXPECT_EQ(value("txtRegisteredName").size(), static_cast<qsizetype>(typed.size()));
    apply();
    EXPECT_EQ(onDisk(HKLM, qv::pages::kVersionKey, "RegisteredOwner"), sz(typed));
}

TEST_F(AsRead, MissingTaskManagerTimeoutsLoadAsWindowsOwnDefaults) {
    remove(HKCU, qv::pages::kTaskManagerKey, "WaitToKillAppTimeout");
    remove(HKCU, qv::pages::kTaskManagerKey, "HungAppTimeout");
    EXPECT_EQ(value("sldWaitToKill"), "20000");
    EXPECT_EQ(value("sldHungApp"), "5000");
    apply();
    EXPECT_EQ(onDisk(HKCU, qv::pages::kTaskManagerKey, "WaitToKillAppTimeout"), sz("20000"));
    EXPECT_EQ(onDisk(HKCU, qv::pages::kTaskManagerKey, "HungAppTimeout"), sz("5000"));
    // A stored 0 is the user's own choice and stays 0.
    put(HKCU, qv::pages::kTaskManagerKey, "HungAppTimeout", sz("0"));
    reload();
    EXPECT_EQ(value("sldHungApp"), "0");
}

TEST_F(AsRead, EachTickedDriveTypeIsABitClearedInTheAutorunMask) {
    using qv::pages::kExplorerPoliciesKey;
    for (int bit = 0; bit < 7; ++bit) {
        SCOPED_TRACE(bit);
        // Load: the one set bit unticks its box only; bit 7 means nothing to the boxes.
        put(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun", binary({0x80 | (1 << bit)}));
        reload();
        EXPECT_EQ(checkedTypes(), 0x7F & ~(1 << bit));
        apply();
        EXPECT_EQ(mask(), std::vector<uint8_t>{static_cast<uint8_t>(0x80 | (1 << bit))});
        // Save: unticking one box of an all-ticked page sets just its bit, ticking clears it.
        put(HKCU, kExplorerPoliciesKey, "NoDriveTypeAutoRun", binary({0x00}));
        reload();
        EXPECT_EQ(checkedTypes(), 0x7F);
        set(QStringLiteral("chkAutoPlay(%1)").arg(bit), "0");
        apply();
        EXPECT_EQ(mask(), std::vector<uint8_t>{static_cast<uint8_t>(0x80 | (1 << bit))});
        set(QStringLiteral("chkAutoPlay(%1)").arg(bit), "1");
        apply();
        EXPECT_EQ(mask(), std::vector<uint8_t>{0x80});
    }
    // A greyed box is not ticked: autorun stays off for it.
    set("chkAutoPlay(2)", "2");
    apply();
    EXPECT_EQ(mask(), std::vector<uint8_t>{0x84});
}

TEST_F(AsRead, ShowClickHereToBeginIsTheAbsenceOfNoStartBanner) {
    using qv::pages::kExplorerPoliciesKey;
    struct Case {
        std::optional<Stored> stored;
        const char* shown;
    };
    const std::vector<Case> loads = {
        {std::nullopt, "1"}, {dword(0), "1"}, {dword(1), "0"}, {dword(2), "2"}, {sz("1"), "0"},
    };
    for (const Case& c : loads) {
        set("chkClickHeretoBegin", "2");
        if (c.stored)
            put(HKCU, kExplorerPoliciesKey, "NoStartBanner", *c.stored);
        else
            remove(HKCU, kExplorerPoliciesKey, "NoStartBanner");
        reload();
        EXPECT_EQ(value("chkClickHeretoBegin"), c.shown) << (c.stored ? ::testing::PrintToString(*c.stored) : "none");
    }
    const std::vector<std::pair<const char*, std::optional<Stored>>> saves = {
        {"1", std::nullopt}, {"0", dword(1)}, {"2", dword(1)},
    };
    for (const auto& [box, want] : saves) {
        set("chkClickHeretoBegin", box);
        apply();
        EXPECT_EQ(onDisk(HKCU, kExplorerPoliciesKey, "NoStartBanner"), want) << box;
    }
}

TEST_F(AsRead, AFailedApplyKeepsEveryChangeMark) {
    set("optExploreFromHere(1)", "1");
    set("optMSDOSPromptOnDirs(1)", "1");
    auto captions = [&] {
        std::vector<QString> out;
        for (int node : {qv::explorer::kExploreFromHere, qv::explorer::kMSDOSPromptOnDirs})
            out.push_back(form().fraOption(node)->Caption());
        return out;
    };
    const std::vector<QString> marked = captions();
    for (const QString& c : marked)
        ASSERT_TRUE(c.endsWith(QLatin1Char('*'))) << c.toStdString();
    machine().setBeforeRenameHook([](const std::filesystem::path&) { throw std::runtime_error("disk full"); });
    apply();
    EXPECT_EQ(captions(), marked);
    ASSERT_FALSE(boxes_.asked.empty());  // the failure was told
    machine().setBeforeRenameHook({});
    apply();
    for (const QString& c : captions())
        EXPECT_FALSE(c.endsWith(QLatin1Char('*'))) << c.toStdString();
}

TEST_F(AsRead, EnterOnTheTreeNeitherAppliesNorCloses) {
    remove(HKCU, qv::pages::kTaskManagerKey, "HungAppTimeout");
    form().show();
    QApplication::setActiveWindow(&form());
    auto* tree = control<QTreeWidget>(form(), "tvList");
    tree->setFocus();
    QTreeWidgetItem* explorer = tree->topLevelItem(0)->child(0);
    tree->setCurrentItem(explorer);
    const bool expanded = explorer->isExpanded();
    keyClick(tree, Qt::Key_Return);
    EXPECT_FALSE(form().isUnloaded());
    EXPECT_EQ(onDisk(HKCU, qv::pages::kTaskManagerKey, "HungAppTimeout"), std::nullopt);  // no Apply
    EXPECT_NE(explorer->isExpanded(), expanded);
    keyClick(tree, Qt::Key_Enter);
    EXPECT_FALSE(form().isUnloaded());
    EXPECT_EQ(explorer->isExpanded(), expanded);
}
