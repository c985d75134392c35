// The 'New' menu page: where its load block finds the types, how its save block switches them,
// and the key move under it, over an in-memory store that can refuse, and through the window.
#include <QListView>
#include <array>
#include <string_view>
#include <tuple>

#include "app/controls.h"
#include "app/pass.h"
#include "app_support.h"
#include "new_menu_support.h"
#include "pages/explorer/new_menu.h"
#include "registry/fake_registry.h"

using namespace qvtest;
using namespace std::string_view_literals;
namespace reg = qv::reg;
namespace tk = qv::tk;
using reg::HKEY_CLASSES_ROOT;
using reg::test::Call;
using reg::test::FakeRegistry;

namespace {

// A store that refuses copies part way: the destination gets the source's first value, then the
// write is refused. Deletions can be refused too.
class RefusingStore : public FakeRegistry {
public:
    int copiesToRefuse = 0;
    int32_t copyKey(int32_t sr, std::string_view sp, int32_t dr, std::string_view dp) override {
        if (copiesToRefuse == 0)
            return FakeRegistry::copyKey(sr, sp, dr, dp);
        --copiesToRefuse;
        const auto names = valueNames(sr, sp);
        if (!names.empty()) {
            const auto v = get(sr, sp, names.front());
            put(dr, dp, names.front(), v->type, v->data);
        }
        return reg::ERROR_ACCESS_DENIED;
    }
};

// The page's list and its two blocks over a store, as the passes run them.
struct Page {
    RefusingStore store;
    QWidget parent;
    tk::CheckListView lv{&parent, QStringLiteral("lvNewMenu")};
    std::vector<QString> failures;

    void load() { run(qv::Pass::Kind::Load); }
    void save() { run(qv::Pass::Kind::Save); }
    void run(qv::Pass::Kind kind) {
        reg::cRegistry r(store);
        qv::Pass p(kind, r);
        if (kind == qv::Pass::Kind::Load)
            qv::pages::loadNewMenu(p, lv);
        else
            qv::pages::saveNewMenu(p, lv);
        failures = p.failures();
        last = {r.ClassKey(), r.SectionKey(), r.ValueKey()};
    }
    // "KEY|text|mark" per entry, in list order.
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (int i = 0; i < lv.Count(); ++i)
            out.push_back((lv.Key(i) + "|" + lv.Text(i) + (lv.Checked(i) ? "|1" : "|0")).toStdString());
        return out;
    }
    void check(const std::string& key, bool on) {
        const int i = lv.Find(QString::fromStdString(key));
        ASSERT_GE(i, 0) << key;
        lv.setChecked(i, on);
    }
    Subtree tree(const std::string& path) { return subtree(store, HKEY_CLASSES_ROOT, path); }
    bool has(const std::string& path) { return store.hasKey(HKEY_CLASSES_ROOT, path); }
    void str(const std::string& key, const std::string& name, const std::string& text) {
        store.putString(HKEY_CLASSES_ROOT, key, name, text);
    }
    std::tuple<int32_t, std::string, std::string> last;
};

// A template key with every kind of value, an empty subkey and two levels below it.
void seedTemplate(FakeRegistry& s, const std::string& key) {
    s.putString(HKEY_CLASSES_ROOT, key, "FileName", "%windir%\\ShellNew\\x.tpl", reg::REG_EXPAND_SZ);
    s.put(HKEY_CLASSES_ROOT, key, "Multi", reg::REG_MULTI_SZ, reg::test::sz("one\0two\0"sv));
    s.put(HKEY_CLASSES_ROOT, key, "Data", reg::REG_BINARY, reg::test::bytes({0, 1, 0xFE, 0xFF}));
    s.putDword(HKEY_CLASSES_ROOT, key, "Flags", 0x80000001u);
    s.put(HKEY_CLASSES_ROOT, key, "Nothing", reg::REG_NONE, "");
    s.put(HKEY_CLASSES_ROOT, key, "NoNul", reg::REG_SZ, "A");  // odd length, no terminator
    s.putString(HKEY_CLASSES_ROOT, key + "\\Extra", "Level", "one");
    s.putString(HKEY_CLASSES_ROOT, key + "\\Extra\\Deeper", "Level", "two");
    s.addKey(HKEY_CLASSES_ROOT, key + "\\Extra\\Deeper\\Empty");
    s.addKey(HKEY_CLASSES_ROOT, key + "\\Empty");
}

}  // namespace

// ---- where the load block looks ---------------------------------------------------------------

TEST(NewMenuLoad, TakesTheFirstOfTheSixPlacesInOrderWithItsDescription) {
    const std::array<std::string, 6> places = {
        ".xyz\\ShellNew", ".xyz\\ShellNew-", "Xyz.Document.1\\ShellNew", "Xyz.Document.1\\ShellNew-",
        ".xyz\\Xyz.Document.1\\ShellNew", ".xyz\\Xyz.Document.1\\ShellNew-"};
    for (size_t row = 0; row < places.size(); ++row) {
        for (bool innerDescription : {true, false}) {
            Page pg;
            pg.str(".xyz", "", "Xyz.Document.1");
            pg.str("Xyz.Document.1", "", "Xyz Document");
            pg.store.addKey(HKEY_CLASSES_ROOT, ".xyz\\Xyz.Document.1");
            if (innerDescription)
                pg.str(".xyz\\Xyz.Document.1", "", "Xyz inside");
            for (size_t later = row; later < places.size(); ++later)
                pg.store.addKey(HKEY_CLASSES_ROOT, places[later]);
            pg.load();
            // Rows 5 and 6 describe the type by the class key under the extension, falling back
            // to the class itself when that has no description.
            const std::string text = row >= 4 && innerDescription ? "Xyz inside" : "Xyz Document";
            const std::string mark = row % 2 == 0 ? "1" : "0";
            EXPECT_EQ(pg.entries(), std::vector<std::string>{places[row] + "|" + text + "|" + mark})
                << "row " << row + 1;
            EXPECT_TRUE(pg.failures.empty());
        }
    }
    Page none;
    none.str(".xyz", "", "Xyz.Document.1");
    none.str("Xyz.Document.1", "", "Xyz Document");
    none.store.addKey(HKEY_CLASSES_ROOT, "Xyz.Document.1\\shell\\open");
    none.load();
    EXPECT_EQ(none.lv.Count(), 0);
}

TEST(NewMenuLoad, ListsEveryKeyOnceAndLeavesOutOnlyLowerCaseLnk) {
    Page pg;
    pg.str(".txt", "", "txtfile");
    pg.str(".txt\\ShellNew", "NullFile", "");
    pg.str("txtfile", "", "Text Document");
    // Two extensions of one class whose template lies under the class: one entry for both.
    pg.str(".abc", "", "Shared.Class");
    pg.str(".abd", "", "Shared.Class");
    pg.str("Shared.Class", "", "Shared");
    pg.str("Shared.Class\\ShellNew", "NullFile", "");
    // Both names present: listed once, as the active one.
    pg.str(".both", "", "bothfile");
    pg.store.addKey(HKEY_CLASSES_ROOT, ".both\\ShellNew");
    pg.store.addKey(HKEY_CLASSES_ROOT, ".both\\ShellNew-");
    pg.str(".lnk", "", "lnkfile");
    pg.str(".lnk\\ShellNew", "Command", "RunDLL32 AppWiz.Cpl,NewLinkHere %1");
    // Not an extension: its template is found only through an extension whose class it is.
    pg.str("Orphan\\ShellNew", "NullFile", "");
    pg.load();
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{
                                "Shared.Class\\ShellNew|Shared|1",
                                ".both\\ShellNew||1",
                                ".txt\\ShellNew|Text Document|1",
                            }));

    Page upper;
    upper.str(".LNK", "", "lnkfile");
    upper.str(".LNK\\ShellNew", "NullFile", "");
    upper.str("lnkfile", "", "Shortcut");
    upper.load();
    EXPECT_EQ(upper.entries(), std::vector<std::string>{".LNK\\ShellNew|Shortcut|1"});
}

TEST(NewMenuLoad, ClassNamesOfEveryFormLeadToTheirPlaces) {
    Page pg;
    // The class key under the extension spelt in another case; the entry keeps the class's spelling.
    pg.str(".ci", "", "Ci.Doc");
    pg.str(".ci\\CI.DOC\\shellnew", "NullFile", "");
    pg.str("Ci.Doc", "", "Ci Document");
    // A class name that is a path.
    pg.str(".bs", "", "Deep\\Cls");
    pg.str("Deep\\Cls", "", "Deep Class");
    pg.str("Deep\\Cls\\ShellNew-", "NullFile", "");
    // A class name stored as an expandable string is read expanded.
    pg.store.setEnvironment("QVCLASS", "expfile");
    pg.store.putString(HKEY_CLASSES_ROOT, ".exp", "", "%QVCLASS%", reg::REG_EXPAND_SZ);
    pg.str("expfile", "", "Expanded");
    pg.str("expfile\\ShellNew", "NullFile", "");
    // A class key of the same name under the extension, without templates, changes nothing.
    pg.str(".own", "", "ownfile");
    pg.store.addKey(HKEY_CLASSES_ROOT, ".own\\ownfile\\shell");
    pg.store.addKey(HKEY_CLASSES_ROOT, ".own\\ShellNew");
    pg.load();
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{
                                "Deep\\Cls\\ShellNew-|Deep Class|0",
                                ".ci\\Ci.Doc\\ShellNew|Ci Document|1",
                                "expfile\\ShellNew|Expanded|1",
                                ".own\\ShellNew||1",
                            }));
    EXPECT_TRUE(pg.failures.empty());
}

TEST(NewMenuLoad, ReloadKeepsEntriesRefreshesMarksAppendsNewKeysAndDropsGoneOnes) {
    Page pg;
    pg.str(".bmp", "", "Paint.Picture");
    pg.str(".bmp\\ShellNew", "NullFile", "");
    pg.str("Paint.Picture", "", "Bitmap Image");
    pg.str(".txt", "", "txtfile");
    pg.str(".txt\\ShellNew", "NullFile", "");
    pg.str("txtfile", "", "Text Document");
    pg.load();
    ASSERT_EQ(pg.lv.Count(), 2);

    pg.check(".txt\\ShellNew", false);          // a user's change not applied
    pg.str("txtfile", "", "Renamed");           // the registry's text changed
    pg.store.deleteKey(HKEY_CLASSES_ROOT, ".bmp\\ShellNew");  // a key went away
    pg.str(".aaa", "", "aaafile");              // sorts first, but is new
    pg.store.addKey(HKEY_CLASSES_ROOT, ".aaa\\ShellNew-");
    pg.load();
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{
                                ".txt\\ShellNew|Text Document|1",
                                ".aaa\\ShellNew-||0",
                            }));
    EXPECT_TRUE(pg.failures.empty());
}

TEST(NewMenuLoad, AStepThatFailsIsSkippedAndTheBlockGoesOn) {
    Page pg;
    pg.str(".a", "", "afile");
    pg.str("afile\\ShellNew", "NullFile", "");
    pg.str(".b", "", "bfile");
    pg.str(".b\\ShellNew", "NullFile", "");
    pg.str("bfile", "", "B Document");
    pg.str(".c\\ShellNew", "NullFile", "");
    // ".a" cannot be opened: its class is taken as "", so its class's template is not found.
    pg.store.inject({Call::OpenKey, reg::ERROR_SUCCESS, 0, std::string(".a"), true, false});
    // The description of ".b" cannot be read: the entry comes without text.
    pg.store.inject({Call::OpenKey, reg::ERROR_SUCCESS, 0, std::string("bfile"), true, false});
    pg.load();
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".b\\ShellNew||1", ".c\\ShellNew||1"}));
    EXPECT_EQ(pg.failures.size(), 2u);
    EXPECT_EQ(pg.store.openHandles(), 0u);  // every key opened was closed, failures or not
    EXPECT_EQ(pg.store.badCloses(), 0);
}

// ---- the move -----------------------------------------------------------------------------------

TEST(MoveRegistryKey, LeavesTheDestinationExactlyAsTheSourceWas) {
    FakeRegistry s;
    seedTemplate(s, ".q\\ShellNew");
    const Subtree before = subtree(s, HKEY_CLASSES_ROOT, ".q\\ShellNew");
    ASSERT_EQ(before.size(), 5u);  // the key, Extra, Extra\Deeper, its Empty, Empty
    qv::pages::MoveRegistryKey(s, ".q\\ShellNew", ".q\\ShellNew-");
    EXPECT_EQ(subtree(s, HKEY_CLASSES_ROOT, ".q\\ShellNew-"), before);
    EXPECT_FALSE(s.hasKey(HKEY_CLASSES_ROOT, ".q\\ShellNew"));
    EXPECT_EQ(s.openHandles(), 0u);
    // The copy is the store's: nothing was read and written back value by value.
    EXPECT_EQ(s.count(Call::SetValue), 0);
    EXPECT_EQ(s.count(Call::CopyKey), 1);
}

TEST(MoveRegistryKey, MergesIntoAnExistingDestinationWithTheSourceWinning) {
    FakeRegistry s;
    s.putString(HKEY_CLASSES_ROOT, ".x\\ShellNew", "FileName", "new.tpl");
    s.putString(HKEY_CLASSES_ROOT, ".x\\ShellNew\\Sub", "Both", "source");
    s.putString(HKEY_CLASSES_ROOT, ".x\\ShellNew-", "FileName", "old.tpl", reg::REG_EXPAND_SZ);
    s.putString(HKEY_CLASSES_ROOT, ".x\\ShellNew-", "Command", "kept");
    s.putString(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Sub", "Both", "destination");
    s.putString(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Sub", "Own", "kept");
    s.addKey(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Other");
    qv::pages::MoveRegistryKey(s, ".x\\ShellNew", ".x\\ShellNew-");
    using reg::test::StoredValue;
    using reg::test::sz;
    EXPECT_EQ(s.get(HKEY_CLASSES_ROOT, ".x\\ShellNew-", "FileName"), (StoredValue{reg::REG_SZ, sz("new.tpl")}));
    EXPECT_EQ(s.get(HKEY_CLASSES_ROOT, ".x\\ShellNew-", "Command"), (StoredValue{reg::REG_SZ, sz("kept")}));
    EXPECT_EQ(s.get(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Sub", "Both"), (StoredValue{reg::REG_SZ, sz("source")}));
    EXPECT_EQ(s.get(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Sub", "Own"), (StoredValue{reg::REG_SZ, sz("kept")}));
    EXPECT_TRUE(s.hasKey(HKEY_CLASSES_ROOT, ".x\\ShellNew-\\Other"));
    EXPECT_FALSE(s.hasKey(HKEY_CLASSES_ROOT, ".x\\ShellNew"));
}

TEST(MoveRegistryKey, KeepsTheSourceWholeUnlessTheWholeCopySucceeded) {
    auto expectRefused = [](FakeRegistry& s, const char* what) {
        const Subtree before = subtree(s, HKEY_CLASSES_ROOT, ".q\\ShellNew");
        EXPECT_THROW(qv::pages::MoveRegistryKey(s, ".q\\ShellNew", ".q\\ShellNew-"), reg::RegError) << what;
        EXPECT_EQ(subtree(s, HKEY_CLASSES_ROOT, ".q\\ShellNew"), before) << what;
    };
    RefusingStore partly;
    seedTemplate(partly, ".q\\ShellNew");
    partly.copiesToRefuse = 1;
    expectRefused(partly, "copy refused part way");
    EXPECT_EQ(partly.count(Call::DeleteKey), 0);

    FakeRegistry noDelete;
    seedTemplate(noDelete, ".q\\ShellNew");
    noDelete.failAlways(Call::DeleteKey);
    expectRefused(noDelete, "deletion refused");
    EXPECT_EQ(subtree(noDelete, HKEY_CLASSES_ROOT, ".q\\ShellNew-"),
              subtree(noDelete, HKEY_CLASSES_ROOT, ".q\\ShellNew"));

    // A source that is not there is not reported as moved, and nothing is created.
    FakeRegistry missing;
    EXPECT_THROW(qv::pages::MoveRegistryKey(missing, ".q\\ShellNew", ".q\\ShellNew-"), reg::RegError);
    EXPECT_FALSE(missing.hasKey(HKEY_CLASSES_ROOT, ".q\\ShellNew-"));
}

// ---- the save block -----------------------------------------------------------------------------

TEST(NewMenuSave, SwitchingOffAndOnMovesTheKeyAndApplyingAgainMovesNothing) {
    Page pg;
    pg.str(".txt", "", "txtfile");
    pg.str(".txt\\ShellNew", "NullFile", "");
    pg.str("txtfile", "", "Text Document");
    pg.str(".wav", "", "SoundRec");
    pg.str(".wav\\ShellNew", "FileName", "sndrec.wav");
    pg.load();
    const Subtree txt = pg.tree(".txt\\ShellNew");

    pg.check(".txt\\ShellNew", false);
    pg.save();
    EXPECT_TRUE(pg.failures.empty());
    EXPECT_EQ(pg.tree(".txt\\ShellNew-"), txt);
    EXPECT_FALSE(pg.has(".txt\\ShellNew"));
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".txt\\ShellNew-|Text Document|0", ".wav\\ShellNew||1"}));
    // The next block finds the accessor on the last entry's key.
    EXPECT_EQ(pg.last, std::make_tuple(HKEY_CLASSES_ROOT, std::string(".wav\\ShellNew"), std::string()));

    pg.load();  // the registry now agrees: no second entry, no change
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".txt\\ShellNew-|Text Document|0", ".wav\\ShellNew||1"}));

    pg.store.clearLog();
    pg.save();
    EXPECT_EQ(pg.store.count(Call::CopyKey) + pg.store.count(Call::DeleteKey) + pg.store.count(Call::SetValue) +
                  pg.store.count(Call::CreateKey),
              0);

    pg.check(".txt\\ShellNew-", true);
    pg.save();
    EXPECT_EQ(pg.tree(".txt\\ShellNew"), txt);
    EXPECT_FALSE(pg.has(".txt\\ShellNew-"));
    EXPECT_EQ(pg.entries().front(), ".txt\\ShellNew|Text Document|1");
}

TEST(NewMenuSave, AFailedMoveKeepsTheEntryKeyAndALaterApplyCompletesIt) {
    Page pg;
    pg.str(".q", "", "qfile");
    seedTemplate(pg.store, ".q\\ShellNew");
    pg.str(".r\\ShellNew", "NullFile", "");
    pg.load();
    const Subtree q = pg.tree(".q\\ShellNew");
    pg.check(".q\\ShellNew", false);
    pg.check(".r\\ShellNew", false);

    // The copy is refused part way: the source stays whole and the entry keeps its key (and the
    // user's mark), while the entry after it is still saved.
    pg.store.copiesToRefuse = 1;
    pg.save();
    EXPECT_EQ(pg.failures.size(), 1u);
    EXPECT_EQ(pg.tree(".q\\ShellNew"), q);
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".q\\ShellNew||0", ".r\\ShellNew-||0"}));

    // The deletion is refused: still the old key, still whole.
    pg.store.failOn(Call::DeleteKey, ".q\\ShellNew");
    pg.save();
    EXPECT_EQ(pg.failures.size(), 1u);
    EXPECT_EQ(pg.tree(".q\\ShellNew"), q);
    EXPECT_EQ(pg.lv.Key(0), ".q\\ShellNew");

    // The store writes again: the next Apply completes the move over the partial copy.
    pg.store.clearFailures();
    pg.save();
    EXPECT_TRUE(pg.failures.empty());
    EXPECT_EQ(pg.tree(".q\\ShellNew-"), q);
    EXPECT_FALSE(pg.has(".q\\ShellNew"));
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".q\\ShellNew-||0", ".r\\ShellNew-||0"}));
}

TEST(NewMenuLoad, AKeyRenamedElsewhereIsStillOneEntryThatSwitchesOnAndOff) {
    // Another program switches the type off (".t\\ShellNew" becomes ".t\\ShellNew-") and back on
    // between reloads: the entry follows the key, in its place, and every Apply after it moves it.
    Page pg;
    pg.str(".s\\ShellNew", "NullFile", "");
    pg.str(".t\\ShellNew", "FileName", "t.tpl");
    pg.load();
    ASSERT_EQ(pg.entries(), (std::vector<std::string>{".s\\ShellNew||1", ".t\\ShellNew||1"}));
    ASSERT_EQ(pg.store.copyKey(HKEY_CLASSES_ROOT, ".t\\ShellNew", HKEY_CLASSES_ROOT, ".t\\ShellNew-"), 0);
    ASSERT_EQ(pg.store.deleteKey(HKEY_CLASSES_ROOT, ".t\\ShellNew"), 0);
    pg.load();
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".s\\ShellNew||1", ".t\\ShellNew-||0"}));
    const Subtree t = pg.tree(".t\\ShellNew-");
    pg.check(".t\\ShellNew-", true);
    pg.save();
    EXPECT_TRUE(pg.failures.empty());
    EXPECT_EQ(pg.tree(".t\\ShellNew"), t);
    EXPECT_FALSE(pg.has(".t\\ShellNew-"));
    pg.check(".t\\ShellNew", false);
    pg.save();
    EXPECT_TRUE(pg.failures.empty());
    EXPECT_EQ(pg.tree(".t\\ShellNew-"), t);
    pg.load();
    EXPECT_EQ(pg.entries(), (std::vector<std::string>{".s\\ShellNew||1", ".t\\ShellNew-||0"}));
}

// ---- through the window ---------------------------------------------------------------------------

TEST_F(WindowTest, NewMenuPageListsTheMachineTypesWithoutIconsOrHeaders) {
    qv::frmMain& f = form();
    auto* lv = f.fraOption(17)->findChild<tk::CheckListView*>(QStringLiteral("lvNewMenu"));
    ASSERT_NE(lv, nullptr);
    EXPECT_EQ(lv->geometry(), QRect(tk::px(120), tk::px(1680), tk::px(4815), tk::px(2655)));
    EXPECT_EQ(lv->viewMode(), QListView::ListMode);
    // The machine's own types, the shortcut type left out.
    ASSERT_GT(lv->Count(), 0);
    const int txt = lv->Find(QStringLiteral(".txt\\ShellNew"));
    ASSERT_GE(txt, 0);
    EXPECT_EQ(lv->Text(txt), QStringLiteral("Text Document"));
    EXPECT_TRUE(lv->Checked(txt));
    EXPECT_EQ(lv->Find(QStringLiteral(".lnk\\ShellNew")), -1);
    for (int i = 0; i < lv->Count(); ++i) {
        EXPECT_TRUE(lv->item(i)->icon().isNull()) << i;
        EXPECT_TRUE(lv->Key(i).endsWith(QLatin1String("ShellNew")) || lv->Key(i).endsWith(QLatin1String("ShellNew-")));
    }
    // Scripting mode addresses the entries by key.
    const qv::ctl::Control c = qv::ctl::findControl(f, QStringLiteral("lvNewMenu[.TXT\\shellnew]"));
    EXPECT_EQ(qv::ctl::valueOf(c), QStringLiteral("1"));
    EXPECT_EQ(qv::ctl::textOf(c), QStringLiteral("Text Document"));
}

TEST_F(WindowTest, NewMenuApplyThatCouldNotBeCommittedIsCompletedByTheNextApply) {
    write(HKEY_CLASSES_ROOT, ".txt\\ShellNew\\Extra", "Level", reg::REG_SZ, std::string("one"));
    machine().commit();
    qv::frmMain& f = form();
    auto* lv = f.fraOption(17)->findChild<tk::CheckListView*>(QStringLiteral("lvNewMenu"));
    ASSERT_NE(lv, nullptr);
    const Subtree before = subtree(machine(), HKEY_CLASSES_ROOT, ".txt\\ShellNew");
    ASSERT_EQ(before.size(), 2u);
    lv->setChecked(lv->Find(QStringLiteral(".txt\\ShellNew")), false);

    machine().setBeforeRenameHook([](const fs::path&) { throw std::runtime_error("disk full"); });
    f.cmdApply_Click();
    ASSERT_EQ(boxes_.asked.size(), 1u);  // the commit failure is told
    {
        auto disk = reg::Machine::openOwn(dir_.path() / "machine");
        EXPECT_EQ(subtree(*disk, HKEY_CLASSES_ROOT, ".txt\\ShellNew"), before);
        EXPECT_TRUE(subtree(*disk, HKEY_CLASSES_ROOT, ".txt\\ShellNew-").empty());
    }

    machine().setBeforeRenameHook({});
    f.cmdApply_Click();
    EXPECT_EQ(boxes_.asked.size(), 1u);
    auto disk = reg::Machine::openOwn(dir_.path() / "machine");
    EXPECT_EQ(subtree(*disk, HKEY_CLASSES_ROOT, ".txt\\ShellNew-"), before);
    EXPECT_TRUE(subtree(*disk, HKEY_CLASSES_ROOT, ".txt\\ShellNew").empty());
    EXPECT_EQ(lv->Key(lv->Find(QStringLiteral(".txt\\ShellNew-"))), QStringLiteral(".txt\\ShellNew-"));
}

// The interactive window draws itself before the page walks every file type: the page reads the
// registry when it is first shown, or when a save pass needs it, and what it then shows counts
// as loaded, not as an edit.
TEST_F(WindowTest, NewMenuPageLoadsWhenShownOrWhenASavePassNeedsIt) {
    struct Restore {
        ~Restore() { qv::frmMain::setLoadHiddenPagesWhenShown(false); }
    } restore;
    qv::frmMain::setLoadHiddenPagesWhenShown(true);
    for (const bool byShowing : {true, false}) {
        form_.reset();
        qv::frmMain& f = form();
        auto* lv = f.fraOption(17)->findChild<tk::CheckListView*>(QStringLiteral("lvNewMenu"));
        ASSERT_NE(lv, nullptr);
        EXPECT_EQ(lv->Count(), 0) << byShowing;
        EXPECT_TRUE(f.changedPages().empty()) << byShowing;
        if (byShowing)
            f.selectNode(17);
        else
            EXPECT_TRUE(f.session().pendingChanges().empty());
        ASSERT_GT(lv->Count(), 0) << byShowing;
        EXPECT_TRUE(lv->Checked(lv->Find(QStringLiteral(".txt\\ShellNew")))) << byShowing;
        EXPECT_TRUE(f.changedPages().empty()) << byShowing;
        // Once loaded it is a page like any other: a switch is an edit Apply writes.
        lv->setChecked(lv->Find(QStringLiteral(".txt\\ShellNew")), false);
        EXPECT_EQ(f.changedPages(), std::set<int>{17}) << byShowing;
        ASSERT_TRUE(f.SaveSettings());
        auto disk = reg::Machine::openOwn(dir_.path() / "machine");
        EXPECT_FALSE(subtree(*disk, HKEY_CLASSES_ROOT, ".txt\\ShellNew-").empty()) << byShowing;
        // Back as it was for the next round.
        lv->setChecked(lv->Find(QStringLiteral(".txt\\ShellNew-")), true);
        ASSERT_TRUE(f.SaveSettings());
    }
}

// Another program adds a value to .txt\ShellNew while the window is open; switching the entry off
// moves the key as it is on disk when the Apply commits, that value included.
TEST_F(WindowTest, NewMenuSwitchMovesWhatAnotherProgramAddedMeanwhile) {
    qv::frmMain& f = form();
    auto* lv = f.fraOption(17)->findChild<tk::CheckListView*>(QStringLiteral("lvNewMenu"));
    ASSERT_NE(lv, nullptr);
    {
        auto other = reg::Machine::openOwn(dir_.path() / "machine");
        reg::HKey k;
        ASSERT_EQ(other->createKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", &k), 0);
        ASSERT_EQ(other->setValue(k, "Extra", reg::REG_SZ, std::string("x\0\0\0", 4)), 0);
        other->commit();
    }
    lv->setChecked(lv->Find(QStringLiteral(".txt\\ShellNew")), false);
    ASSERT_TRUE(f.SaveSettings());
    auto disk = reg::Machine::openOwn(dir_.path() / "machine");
    reg::HKey k;
    ASSERT_EQ(disk->openKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew-", &k), 0);
    EXPECT_EQ(disk->queryValue(k, "Extra", nullptr, nullptr), 0);
    EXPECT_NE(disk->openKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", &k), 0);
}
