#include "pages/explorer/new_menu.h"

#include <QListView>
#include <QSet>
#include <array>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/page.h"
#include "app/session/profile.h"
#include "registry/text.h"

namespace qv::pages {

namespace {

const std::string kOn = "\\ShellNew";
const std::string kOff = "\\ShellNew-";

// The default value of a key as text, "" when it has none.
std::string defaultText(reg::cRegistry& r, const std::string& key) {
    r.setSectionKey(key);
    r.setValueKey("");
    return reg::variantToText(r.Value());
}

// A key opened for one visit and closed when the visit ends, however it ends.
struct Visit {
    explicit Visit(reg::RegistryApi& a) : api(a) {}
    ~Visit() {
        if (open)
            api.closeKey(key);
    }
    int32_t openKey(const std::string& path) {
        const int32_t st = api.openKey(reg::HKEY_CLASSES_ROOT, path, &key);
        open = st == reg::ERROR_SUCCESS;
        return st;
    }
    reg::RegistryApi& api;
    reg::HKey key = nullptr;
    bool open = false;
};

// The load block looks at six places for each of thousands of extensions; opening each place
// from the root would cost most of a pass. So an extension key and its class key are visited
// once each: the subkey names settle which places exist, and the extension's default value is
// taken on the same visit. Whatever a visit cannot settle is left to the accessor, place by
// place, so the outcome is the same either way.
using Names = std::vector<std::string>;
struct KeyFacts {
    std::optional<std::string> defaultText;  // when it is a plain REG_SZ
    std::optional<Names> subkeys;            // when all of them could be listed
};

KeyFacts visitKey(reg::RegistryApi& api, const std::string& path, bool wantDefault, bool wantSubkeys = true) noexcept {
    KeyFacts facts;
    try {
        Visit k(api);
        const int32_t st = k.openKey(path);
        if (st == reg::ERROR_FILE_NOT_FOUND)
            facts.subkeys = Names{};
        if (st != reg::ERROR_SUCCESS)
            return facts;
        uint32_t type = reg::REG_NONE;
        std::string data;
        if (wantDefault && api.queryValue(k.key, "", &type, &data) == reg::ERROR_SUCCESS && type == reg::REG_SZ) {
            // As the accessor reads text: one terminating NUL dropped, only when there is one.
            std::u16string text = reg::bytesToUtf16(data);
            if (!text.empty() && text.back() == u'\0')
                text.pop_back();
            facts.defaultText = reg::utf16ToUtf8(text);
        }
        if (!wantSubkeys)
            return facts;
        Names names;
        std::string name;
        int32_t more;
        for (uint32_t i = 0; (more = api.enumKey(k.key, i, &name)) == reg::ERROR_SUCCESS; ++i)
            names.push_back(std::move(name));
        if (more == reg::ERROR_NO_MORE_ITEMS)
            facts.subkeys = std::move(names);
    } catch (...) {
        facts.subkeys.reset();
    }
    return facts;
}

// Names compared as the store compares them. Plain ASCII needs no conversion; other text may
// still fold onto ASCII letters, so it goes the store's way.
bool sameName(std::string_view a, std::string_view b) {
    auto ascii = [](std::string_view s) {
        for (char c : s)
            if (static_cast<unsigned char>(c) >= 0x80)
                return false;
        return true;
    };
    if (ascii(a) && ascii(b)) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z')
                x = static_cast<char>(x + 32);
            if (y >= 'A' && y <= 'Z')
                y = static_cast<char>(y + 32);
            if (x != y)
                return false;
        }
        return true;
    }
    return reg::namesEqual(reg::utf8ToUtf16(a), reg::utf8ToUtf16(b));
}

// A plain ASCII name as the store folds it; nothing for any other name.
std::optional<std::string> folded(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return std::nullopt;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    }
    return out;
}

// Whether a listed key has the subkey; unknown without a list.
std::optional<bool> listed(const std::optional<Names>& names, std::string_view child) {
    if (!names)
        return std::nullopt;
    for (const std::string& n : *names)
        if (sameName(n, child))
            return true;
    return false;
}

// Which extensions can have an entry, from the keys named "ShellNew" or "ShellNew-" in
// HKEY_CLASSES_ROOT, which the store finds without visiting every type: an extension with such
// a key below it, or whose class has one. Any other extension has none of the six places, so the
// load block need not look at it. Where a name is not plain ASCII or a class is a path, the
// extension is looked at as before: the outcome is the same, only the work differs.
class Candidates {
public:
    // Nothing when the store could not tell: then every extension is looked at.
    static std::optional<Candidates> find(reg::RegistryApi& api) noexcept {
        try {
            // Where finding them costs a walk over every class (an installed Windows), each
            // extension is looked at directly.
            if (!api.findsKeysFromIndex())
                return std::nullopt;
            std::vector<std::string> keys;
            // Three levels hold every place of an extension whose class is one key name; any other
            // extension is looked at whatever its keys.
            if (api.findKeysNamed(reg::HKEY_CLASSES_ROOT, "", {"ShellNew", "ShellNew-"}, 3, &keys) != reg::ERROR_SUCCESS)
                return std::nullopt;
            Candidates c;
            for (const std::string& k : keys) {
                const size_t last = k.rfind('\\');
                const std::string parent = last == std::string::npos ? std::string() : k.substr(0, last);
                c.classes_.add(parent);
                if (!parent.empty() && parent.front() == '.')
                    c.extensions_.add(parent.substr(0, parent.find('\\')));
            }
            return c;
        } catch (...) {
            return std::nullopt;
        }
    }

    // Whether extension e needs looking at.
    bool wanted(reg::RegistryApi& api, const std::string& e) const noexcept {
        if (extensions_.mayHold(e))
            return true;
        const KeyFacts facts = visitKey(api, e, true, false);
        // A class that is a path, or one not read as plain text, is left to the usual look.
        return !facts.defaultText || facts.defaultText->find('\\') != std::string::npos ||
               classes_.mayHold(*facts.defaultText);
    }

private:
    // Names as the store compares them: ASCII folded into a set; any other name is compared
    // the store's way (few: a name beyond ASCII may still fold onto ASCII letters).
    struct NameSet {
        std::unordered_set<std::string> ascii;
        std::vector<std::string> others;
        void add(const std::string& n) {
            if (auto f = folded(n))
                ascii.insert(*f);
            else
                others.push_back(n);
        }
        bool mayHold(const std::string& n) const {
            const auto f = folded(n);
            if (!f)
                return true;
            if (ascii.count(*f))
                return true;
            for (const std::string& o : others)
                if (sameName(o, n))
                    return true;
            return false;
        }
    };
    NameSet extensions_, classes_;
};

// The keys directly under HKEY_CLASSES_ROOT that begin with ".", in the store's order, listed as
// EnumerateSections lists names: one too long for its 255-character buffer ends the list.
std::vector<std::string> extensionNames(reg::RegistryApi& api) {
    Visit k(api);
    if (k.openKey("\\") != reg::ERROR_SUCCESS)
        return {};
    std::vector<std::string> out;
    std::string name;
    for (uint32_t i = 0; api.enumKey(k.key, i, &name) == reg::ERROR_SUCCESS; ++i) {
        if (name.size() >= 255 && reg::utf8ToUtf16(name).size() >= 255)
            break;
        if (!name.empty() && name.front() == '.')
            out.push_back(name);
    }
    return out;
}

// The six places of an extension E with class P, in the order they are tried: E\ShellNew,
// E\ShellNew-, P\ShellNew, P\ShellNew-, E\P\ShellNew, E\P\ShellNew-. The even ones are active.
std::string placeKey(size_t row, const std::string& e, const std::string& cls) {
    const std::string& name = row % 2 == 0 ? kOn : kOff;
    switch (row / 2) {
    case 0: return e + name;
    case 1: return cls + name;
    default: return e + "\\" + cls + name;
    }
}

[[noreturn]] void fail(const std::string& description) {
    throw reg::RegError(reg::kErrWriteFailed, reg::executableName() + ".cRegistry", description);
}

// One entry's switch: the key moves first and the entry follows only a move that completed, so
// the list never shows a type as switched off while the registry still offers it, and the next
// Apply tries again.
void switchEntry(reg::RegistryApi& api, tk::CheckListView& lv, int i, const std::string& from,
                 const std::string& to) {
    const QString newKey = QString::fromStdString(to);
    // Two entries cannot share a key (one whose key vanished may linger after a reload); a move
    // the list could not follow is not made.
    if (const int other = lv.Find(newKey); other >= 0 && other != i)
        throw tk::ControlError("Another entry already stands for '" + to + "'");
    MoveRegistryKey(api, from, to);
    lv.setKey(i, newKey);
}

}  // namespace

void MoveRegistryKey(reg::RegistryApi& api, const std::string& source, const std::string& destination) {
    reg::cRegistry own(api);
    own.setClassKey(reg::HKEY_CLASSES_ROOT);
    own.setSectionKey(source);
    // The move stays inside the store: values keep their types and bytes (an expandable string
    // unexpanded, a multi-string whole), every level comes along, empty keys included, and the
    // source goes only after a complete copy. The store records it as a move, so a save onto a
    // file another program changed moves the key as that file holds it.
    if (const int32_t st = own.api().moveKey(own.ClassKey(), own.SectionKey(), own.ClassKey(), destination))
        fail("Failed to move registry key '" + source + "' to '" + destination + "': " + reg::statusText(st));
}

void loadNewMenu(Pass& p, tk::CheckListView& lv) {
    reg::cRegistry& r = p.reg();
    p.step([&] {
        r.setClassKey(reg::HKEY_CLASSES_ROOT);
        r.setSectionKey("\\");
        r.setValueKey("");
    });
    std::vector<std::string> extensions;
    bool listedAll = false;
    p.step([&] {
        extensions = extensionNames(r.api());
        listedAll = true;
    });
    // The keys this load finds; entries standing for other keys are stale afterwards.
    QSet<QString> found;
    const std::optional<Candidates> candidates = Candidates::find(r.api());

    for (const std::string& e : extensions) {
        // ".lnk" is compared exactly: shortcuts are made elsewhere, but ".LNK" is a type of its own.
        if (e == ".lnk")
            continue;
        if (candidates && !candidates->wanted(r.api(), e))
            continue;

        const KeyFacts ext = visitKey(r.api(), e, true);
        std::string cls;
        if (ext.defaultText)
            cls = *ext.defaultText;
        else
            p.step([&] { cls = defaultText(r, e); });

        // A class name that is one plain key name can be looked up in a list of names; anything
        // else (empty, or a path with backslashes) is left to the accessor.
        const bool plainClass = !cls.empty() && cls.find('\\') == std::string::npos;
        std::array<std::optional<bool>, 6> known;  // places already settled by a visit
        known[0] = listed(ext.subkeys, "ShellNew");
        known[1] = listed(ext.subkeys, "ShellNew-");
        if (plainClass && listed(ext.subkeys, cls) == false)
            known[4] = known[5] = false;  // no E\P, so nothing below it
        size_t row = 0;
        for (; row < known.size(); ++row) {
            if (row == 2 && plainClass) {
                const KeyFacts type = visitKey(r.api(), cls, false);
                known[2] = listed(type.subkeys, "ShellNew");
                known[3] = listed(type.subkeys, "ShellNew-");
            }
            if (known[row] ? *known[row] : p.test([&] {
                    r.setSectionKey(placeKey(row, e, cls));
                    return r.KeyExists();
                }))
                break;
        }
        if (row == known.size())
            continue;

        const bool underExtension = row >= 4;
        std::string description;
        p.step([&] { description = defaultText(r, underExtension ? e + "\\" + cls : cls); });
        if (underExtension && p.test([&] { return description.empty(); }))
            p.step([&] { description = defaultText(r, cls); });

        // An entry already listed keeps its text and its place; its mark follows the registry. An
        // entry whose key another program switched (renamed) stands for the key's new name.
        const QString key = QString::fromStdString(placeKey(row, e, cls));
        int index = -1;
        p.step([&] {
            index = lv.Find(key);
            if (index < 0) {
                const QString other = row % 2 == 0 ? key + QLatin1Char('-') : key.chopped(1);
                index = found.contains(other.toCaseFolded()) ? -1 : lv.Find(other);
                if (index >= 0)
                    lv.setKey(index, key);
            }
            if (index < 0)
                index = lv.Add(key, QString::fromStdString(description));
            found.insert(key.toCaseFolded());
        });
        p.step([&] { lv.setChecked(index, row % 2 == 0); });
    }
    // Entries whose keys are gone go too: each key is listed once and only while it is there.
    if (listedAll)
        for (int i = lv.Count() - 1; i >= 0; --i)
            p.step([&] {
                if (!found.contains(lv.Key(i).toCaseFolded()))
                    lv.Remove(i);
            });
}

void saveNewMenu(Pass& p, tk::CheckListView& lv) {
    reg::cRegistry& r = p.reg();
    for (int i = 0; i < lv.Count(); ++i) {
        std::string key;
        // Left for the next block of the pass, which finds these settings.
        p.step([&] {
            key = lv.Key(i).toStdString();
            r.setClassKey(reg::HKEY_CLASSES_ROOT);
            r.setSectionKey(key);
            r.setValueKey("");
        });
        if (key.empty())
            continue;
        if (p.test([&] { return key.back() == '-'; })) {
            if (p.test([&] { return lv.Checked(i); }))
                p.step([&] {
                    switchEntry(r.api(), lv, i, key, key.substr(0, key.size() - 1));
                    p.onRollback([&lv, i, key] { lv.setKey(i, QString::fromStdString(key)); });
                });
        } else {
            if (p.test([&] { return !lv.Checked(i); }))
                p.step([&] {
                    switchEntry(r.api(), lv, i, key, key + "-");
                    p.onRollback([&lv, i, key] { lv.setKey(i, QString::fromStdString(key)); });
                });
        }
    }
}

}  // namespace qv::pages

using namespace qv;

QV_PAGE(new_menu) {
    auto* lvNewMenu = new tk::CheckListView(form.fraOption(pages::kNewMenuNode), QStringLiteral("lvNewMenu"));
    // Entries in the order they were found, as plain text lines: no icons, no column headers.
    lvNewMenu->setViewMode(QListView::ListMode);
    lvNewMenu->setSortingEnabled(false);
    tk::place(lvNewMenu, 120, 1680, 4815, 2655);
    lvNewMenu->setAccessibleName(QStringLiteral("'New' menu entries"));
    lvNewMenu->setEmptyText(QStringLiteral(
        "No file type on this machine offers a 'New' entry (a ShellNew key under its extension in "
        "HKEY_CLASSES_ROOT), so there is nothing to list here."));

    form.setLoadBlock(pages::kNewMenuNode, [lvNewMenu](Pass& p) { pages::loadNewMenu(p, *lvNewMenu); });
    // Its load visits every file type: on a machine with thousands it costs more than the window.
    form.loadWhenShown(pages::kNewMenuNode);
    form.setSaveBlock(pages::kNewMenuNode, [lvNewMenu](Pass& p) { pages::saveNewMenu(p, *lvNewMenu); });
    // The save block moves only the entries switched since the load; a profile carries them all.
    form.setProfileBlock(pages::kNewMenuNode, [lvNewMenu](reg::Machine& m, reg::ChangeSet* profile) {
        std::vector<std::pair<std::string, bool>> entries;
        for (int i = 0; i < lvNewMenu->Count(); ++i)
            entries.emplace_back(lvNewMenu->Key(i).toStdString(), lvNewMenu->Checked(i));
        addNewMenuState(m, entries, profile);
    });
}
