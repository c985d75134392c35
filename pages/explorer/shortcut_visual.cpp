#include "pages/explorer/shortcut_visual.h"

#include <string>

#include "app/page.h"

namespace qv::explorer {

bool LinkPrefixShown(const reg::RegVariant& stored) {
    if (std::holds_alternative<std::monostate>(stored))
        return true;
    if (const auto* s = std::get_if<std::string>(&stored))
        return s->empty();
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&stored))
        return bytes->empty();
    return false;  // a number always has data
}

bool SettingsSavedOnExit(const reg::RegVariant& stored) {
    if (const auto* l = std::get_if<int32_t>(&stored))
        return *l != 1;
    if (const auto* i = std::get_if<int16_t>(&stored))
        return *i != 1;
    if (const auto* s = std::get_if<std::string>(&stored)) {
        bool ok = false;
        const double d = QString::fromStdString(*s).trimmed().toDouble(&ok);
        return !(ok && d == 1);
    }
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&stored)) {
        if (bytes->empty() || (*bytes)[0] != 1)
            return true;
        for (size_t k = 1; k < bytes->size(); ++k)
            if ((*bytes)[k] != 0)
                return true;
        return false;
    }
    return true;  // absent
}

std::vector<uint8_t> NoLinkPrefixBytes() { return std::vector<uint8_t>(4, 0); }

namespace {

using reg::HKEY_CLASSES_ROOT;
using reg::HKEY_CURRENT_USER;

class ShortcutVisualPages : public QObject {
public:
    explicit ShortcutVisualPages(frmMain& form);

    tk::CheckBox* chkShowShortcutToOnNewShortcuts = nullptr;  // page 11
    tk::CheckBox* chkSaveSettingsOnExit = nullptr;            // page 13
    tk::CheckBox* chkBitmapsinExplorer = nullptr;             // page 14

    void loadPrefix(Pass& p);
    void loadShowBitmaps(Pass& p);
    void loadSaveSettings(Pass& p);
    void savePrefix(Pass& p);
    void saveShowBitmaps(Pass& p);
    void saveSaveSettings(Pass& p);
};

ShortcutVisualPages::ShortcutVisualPages(frmMain& form) : QObject(&form) {
    chkShowShortcutToOnNewShortcuts = new tk::CheckBox(QStringLiteral("Show \"Shortcut To\" on new shortcuts."),
                                                       form.fraOption(kPrefix),
                                                       QStringLiteral("chkShowShortcutToOnNewShortcuts"));
    tk::place(chkShowShortcutToOnNewShortcuts, 840, 2040, 3495, 255);
    chkSaveSettingsOnExit = new tk::CheckBox(QStringLiteral("Save settings on exit."), form.fraOption(kSaveSettings),
                                             QStringLiteral("chkSaveSettingsOnExit"));
    tk::place(chkSaveSettingsOnExit, 840, 2040, 3975, 255);
    chkBitmapsinExplorer = new tk::CheckBox(QStringLiteral("Show bitmaps as thumbnails."), form.fraOption(kShowBitmaps),
                                            QStringLiteral("chkBitmapsinExplorer"));
    tk::place(chkBitmapsinExplorer, 840, 2040, 3735, 255);
}

// ---- load: Prefix (step 7), Show Bitmaps (step 8), Save Settings (step 9) -------------------

void ShortcutVisualPages::loadPrefix(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CURRENT_USER); });
    p.step([&] { r.setSectionKey(kExplorerKey); });
    p.step([&] { r.setValueKey(kLinkValue); });
    if (p.test([&] { return LinkPrefixShown(r.Value()); }))
        p.step([&] { chkShowShortcutToOnNewShortcuts->setValue(1); });
    else
        p.step([&] { chkShowShortcutToOnNewShortcuts->setValue(0); });
}

void ShortcutVisualPages::loadShowBitmaps(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kBitmapExtensionKey); });
    p.step([&] { r.setValueKey(""); });
    std::string bitmapClass;
    p.step([&] { bitmapClass = tk::CStr(r.Value()).toStdString(); });
    // Without a class name there is no bitmap icon to look at (and "\DefaultIcon" would name a key
    // at the root): the box is clear.
    if (bitmapClass.empty()) {
        p.step([&] { chkBitmapsinExplorer->setValue(0); });
        return;
    }
    p.step([&] { r.setSectionKey(bitmapClass + kDefaultIconSuffix); });
    p.step([&] { r.setValueKey(""); });
    if (p.test([&] { return tk::CStr(r.Value()) == QLatin1String(kSelfIcon); }))
        p.step([&] { chkBitmapsinExplorer->setValue(1); });
    else
        p.step([&] { chkBitmapsinExplorer->setValue(0); });
}

void ShortcutVisualPages::loadSaveSettings(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CURRENT_USER); });
    p.step([&] { r.setSectionKey(kPoliciesExplorerKey); });
    p.step([&] { r.setValueKey(kNoSaveSettingsValue); });
    if (p.test([&] { return SettingsSavedOnExit(r.Value()); }))
        p.step([&] { chkSaveSettingsOnExit->setValue(1); });
    else
        p.step([&] { chkSaveSettingsOnExit->setValue(0); });
}

// ---- save: Prefix (step 7), Show Bitmaps then Save Settings (step 8) ------------------------

void ShortcutVisualPages::savePrefix(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CURRENT_USER); });
    p.step([&] { r.setSectionKey(kExplorerKey); });
    p.step([&] { r.setValueKey(kLinkValue); });
    if (p.test([&] { return chkShowShortcutToOnNewShortcuts->Value() == 1; })) {
        p.step([&] { r.DeleteValue(); });  // an absent value is no failure; the result is ignored
    } else {
        p.step([&] { r.setValueType(reg::REG_BINARY); });
        p.step([&] { r.setValue(NoLinkPrefixBytes()); });
    }
}

// Every value of this page is a string: ValueType is set to REG_SZ before each write, so that
// the type the last read left in the accessor (a binary or numeric icon, or the REG_BINARY of the
// Prefix step) never decides it.
void ShortcutVisualPages::saveShowBitmaps(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kBitmapExtensionKey); });
    p.step([&] { r.setValueKey(""); });
    std::string bitmapClass;
    p.step([&] { bitmapClass = tk::CStr(r.Value()).toStdString(); });
    // No class name: nothing to write ("%1" would land in a "DefaultIcon" key at the root).
    if (bitmapClass.empty())
        return;
    p.step([&] { r.setSectionKey(bitmapClass + kDefaultIconSuffix); });
    if (p.test([&] { return chkBitmapsinExplorer->Value() == 1; })) {
        p.step([&] { r.setValueKey(""); });
        reg::RegVariant current;
        p.step([&] { current = r.Value(); });
        if (p.test([&] { return tk::CStr(current) != QLatin1String(kSelfIcon); })) {
            p.step([&] { r.setValueKey(kIconBackupValue); });
            p.step([&] { r.setValueType(reg::REG_SZ); });
            p.step([&] { r.setValue(current); });
        }
        p.step([&] { r.setValueKey(""); });
        p.step([&] { r.setValueType(reg::REG_SZ); });
        p.step([&] { r.setValue(std::string(kSelfIcon)); });
    } else {
        p.step([&] { r.setValueKey(kIconBackupValue); });
        reg::RegVariant backup;
        p.step([&] { backup = r.Value(); });
        if (p.test([&] { return !tk::CStr(backup).isEmpty(); })) {
            p.step([&] { r.setValueKey(""); });
            p.step([&] { r.setValueType(reg::REG_SZ); });
            p.step([&] { r.setValue(backup); });
        }
    }
}

// Not in the Part's save pass (left to the implementer): the box is written back so that it does
// what its page says. Checked: no "NoSaveSettings" (Windows saves); clear: REG_DWORD 1. The
// accessor's properties are put back afterwards, so the steps that follow see what Show Bitmaps
// left, as they would without this write.
void ShortcutVisualPages::saveSaveSettings(Pass& p) {
    reg::cRegistry& r = p.reg();
    const int32_t classKey = r.ClassKey();
    const std::string sectionKey = r.SectionKey();
    const std::string valueKey = r.ValueKey();
    const int32_t valueType = r.ValueType();

    p.step([&] { r.setClassKey(HKEY_CURRENT_USER); });
    p.step([&] { r.setSectionKey(kPoliciesExplorerKey); });
    p.step([&] { r.setValueKey(kNoSaveSettingsValue); });
    if (p.test([&] { return chkSaveSettingsOnExit->Value() == 1; })) {
        p.step([&] { r.DeleteValue(); });  // an absent value is no failure
    } else {
        p.step([&] { r.setValueType(reg::REG_DWORD); });
        p.step([&] { r.setValue(int32_t{1}); });
    }

    r.setClassKey(classKey);
    r.setSectionKey(sectionKey);
    r.setValueKey(valueKey);
    r.setValueType(valueType);
}

}  // namespace
}  // namespace qv::explorer

QV_PAGE(shortcut_visual) {
    using namespace qv::explorer;
    auto* pages = new ShortcutVisualPages(form);
    form.setLoadBlock(kPrefix, [pages](qv::Pass& p) { pages->loadPrefix(p); });
    form.setLoadBlock(kShowBitmaps, [pages](qv::Pass& p) { pages->loadShowBitmaps(p); });
    form.setLoadBlock(kSaveSettings, [pages](qv::Pass& p) { pages->loadSaveSettings(p); });
    form.setSaveBlock(kPrefix, [pages](qv::Pass& p) { pages->savePrefix(p); });
    form.setSaveBlock(kShowBitmaps, [pages](qv::Pass& p) {
        pages->saveShowBitmaps(p);
        // Save Settings has no step of its own: it is saved here, as its own page's change.
        p.enterPage(kSaveSettings);
        p.step([&] { pages->saveSaveSettings(p); });
    });
}
