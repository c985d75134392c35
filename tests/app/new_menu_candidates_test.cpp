// The 'New' menu page's load looks only at the types the store's "ShellNew" keys lead to; over a
// machine's files it must list what it lists when it looks at every type.
#include <string>
#include <utility>
#include <vector>

#include "app/pass.h"
#include "app_support.h"
#include "pages/explorer/new_menu.h"
#include "registry/cregistry.h"
#include "registry/machines/machine.h"
#include "registry/recorder.h"
#include "registry/text.h"

namespace reg = qv::reg;
using reg::HKEY_CLASSES_ROOT;

namespace {

// Every call passed on, but keys are not found by name: the load looks at every extension.
class NoFinding : public reg::RecordingRegistry {
public:
    using RecordingRegistry::RecordingRegistry;
    int32_t findKeysNamed(int32_t, std::string_view, const std::vector<std::string>&, size_t,
                          std::vector<std::string>*) override {
        return reg::ERROR_ACCESS_DENIED;
    }
};

// "KEY|text|mark" per entry after a load through api, then again after a second load.
std::vector<std::string> load(reg::RegistryApi& api) {
    QWidget parent;
    qv::tk::CheckListView lv(&parent, QStringLiteral("lvNewMenu"));
    std::vector<std::string> out;
    for (int round = 0; round < 2; ++round) {
        reg::cRegistry r(api);
        qv::Pass p(qv::Pass::Kind::Load, r);
        qv::pages::loadNewMenu(p, lv);
        for (int i = 0; i < lv.Count(); ++i)
            out.push_back((lv.Key(i) + "|" + lv.Text(i) + (lv.Checked(i) ? "|1" : "|0")).toStdString());
        out.push_back(std::to_string(p.failures().size()) + " failed");
    }
    return out;
}

struct Layout {
    const char* what;
    std::vector<std::pair<std::string, const char*>> keys;  // below HKEY_CLASSES_ROOT; default text or null
};

}  // namespace

TEST(NewMenuCandidates, ListsWhatALookAtEveryTypeLists) {
    const std::vector<Layout> layouts = {
        {"each of the six places, in other capitals",
         {{".a", "A.Doc"}, {".a\\shellnew", nullptr}, {"A.Doc", "A document"},
          {".b", "B.Doc"}, {"b.doc\\SHELLNEW-", nullptr}, {"B.Doc", "B document"},
          {".c", "C.Doc"}, {".c\\c.DOC\\ShellNew", nullptr}, {".c\\C.Doc", "inside"}, {"C.Doc", "C document"},
          {".d", "D.Doc"}, {".d\\D.Doc\\ShellNew-", nullptr}}},
        {"classes shared, classes that are paths or empty, .lnk",
         {{".s1", "Shared"}, {".s2", "shared"}, {"Shared\\ShellNew", nullptr}, {"Shared", "Shared type"},
          {".p", "Deep\\Cls"}, {"Deep\\Cls\\ShellNew", nullptr}, {"Deep\\Cls", "Deep"},
          {".e", ""}, {"ShellNew", nullptr}, {".none", nullptr},
          {".lnk", "lnkfile"}, {".lnk\\ShellNew", nullptr}, {"lnkfile\\ShellNew", nullptr}}},
        {"types without templates, and templates no extension leads to",
         {{".x", "X.Doc"}, {"X.Doc\\shell\\open", nullptr}, {"Orphan\\ShellNew", nullptr},
          {".y", "Y.Doc"}, {".y\\Other\\ShellNew", nullptr}, {".z\\ShellNew\\Config", "v"}}},
    };
    for (const Layout& l : layouts) {
        qvtest::TempDir dir;
        {
            auto m = reg::Machine::openOwn(dir.path());
            for (const auto& [path, text] : l.keys) {
                reg::HKey k;
                ASSERT_EQ(m->createKey(HKEY_CLASSES_ROOT, path, &k), reg::ERROR_SUCCESS) << path;
                const std::string data = text ? reg::utf16ToBytes(reg::utf8ToUtf16(text) + u'\0') : std::string();
                ASSERT_TRUE(!text || m->setValue(k, "", reg::REG_SZ, data) == reg::ERROR_SUCCESS) << path;
                m->closeKey(k);
            }
            m->commit();
        }
        // Read afresh, the files are read from their key headers.
        auto m = reg::Machine::openOwn(dir.path());
        NoFinding everyType(*m);
        const std::vector<std::string> expected = load(everyType);
        EXPECT_EQ(load(*m), expected) << l.what;
        // Changed in memory since: found among what was read and what was changed.
        m->moveKey(HKEY_CLASSES_ROOT, ".a\\shellnew", HKEY_CLASSES_ROOT, ".a\\ShellNew-");  // where there is one
        reg::HKey k;
        ASSERT_EQ(m->createKey(HKEY_CLASSES_ROOT, ".added\\ShellNew", &k), reg::ERROR_SUCCESS);
        m->closeKey(k);
        EXPECT_EQ(load(*m), load(everyType)) << l.what << " (changed)";
    }
}
