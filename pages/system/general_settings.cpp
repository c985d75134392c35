#include "pages/system/general_settings.h"

#include <array>
#include <limits>
#include <vector>

#include "app/page.h"

namespace qv::pages {

uint8_t DriveTypeMask(const reg::RegVariant& stored) {
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&stored))
        return bytes->empty() ? 0 : (*bytes)[0];
    // Taken as "no bit set", an NT-style DWORD would be saved back as "autorun on every drive".
    if (const auto* dword = std::get_if<int32_t>(&stored))
        return static_cast<uint8_t>(static_cast<uint32_t>(*dword) & 0xFF);
    return 0;
}

}  // namespace qv::pages

using namespace qv;

namespace {

using reg::HKEY_CURRENT_USER;
using reg::HKEY_LOCAL_MACHINE;

constexpr int kAudioCD = 21;
constexpr int kMediaTypes = 22;
constexpr int kClickHereToBegin = 23;
constexpr int kWindowAnimation = 24;

constexpr std::array<const char*, 7> kDriveTypes = {"Unkown Drives", "No Root Dir", "Removable", "Fixed",
                                                    "Remote",        "CDROM",       "RAM Disk"};

// A number made 16-bit as the conversion does it: rounded half to even, overflow refused.
int16_t toInteger(double v) {
    const double r = tk::roundHalfEven(v);
    if (!(r >= std::numeric_limits<int16_t>::min() && r <= std::numeric_limits<int16_t>::max()))
        throw tk::ConversionError("Overflow");
    return static_cast<int16_t>(r);
}

void point(reg::cRegistry& r, int32_t root, const char* key, const char* value) {
    r.setClassKey(root);
    r.setSectionKey(key);
    r.setValueKey(value);
}

}  // namespace

QV_PAGE(general_settings) {
    using pages::kAudioCDShellKey;
    using pages::kExplorerPoliciesKey;
    using pages::kWindowMetricsKey;

    auto* chkAutoplayAudio = new tk::CheckBox(QStringLiteral("Autoplay Audio CDs"), form.fraOption(kAudioCD),
                                              QStringLiteral("chkAutoplayAudio"));
    tk::place(chkAutoplayAudio, 840, 1800, 3855, 255);

    std::vector<tk::CheckBox*> chkAutoPlay;
    for (int i = 0; i < static_cast<int>(kDriveTypes.size()); ++i) {
        auto* c = new tk::CheckBox(QString::fromLatin1(kDriveTypes[i]), form.fraOption(kMediaTypes),
                                   QStringLiteral("chkAutoPlay(%1)").arg(i));
        tk::place(c, 840, 1440 + i * 330, 3855, 255);
        chkAutoPlay.push_back(c);
    }

    auto* chkClickHeretoBegin = new tk::CheckBox(QStringLiteral("Show Click Here to Begin at startup"),
                                                 form.fraOption(kClickHereToBegin),
                                                 QStringLiteral("chkClickHeretoBegin"));
    tk::place(chkClickHeretoBegin, 840, 1800, 3855, 255);

    auto* chkAnimateWindows = new tk::CheckBox(QStringLiteral("Animate &Windows"),
                                               form.fraOption(kWindowAnimation),
                                               QStringLiteral("chkAnimateWindows"));
    tk::place(chkAnimateWindows, 840, 1800, 3855, 255);

    // ---- load ----------------------------------------------------------------------------

    form.setLoadBlock(kClickHereToBegin, [chkClickHeretoBegin](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoStartBanner"); });
        // The value hides the banner: 1 unticks the box, 0 (or none) ticks it, 2 greys it. A byte
        // array or a number other than 0, 1 or 2 fails here and leaves the box alone.
        p.step([&] {
            const int16_t hidden = tk::CInt(r.Value());
            chkClickHeretoBegin->setValue(hidden == 0 ? 1 : hidden == 1 ? 0 : hidden);
        });
    });

    form.setLoadBlock(kAudioCD, [chkAutoplayAudio](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_LOCAL_MACHINE, kAudioCDShellKey, ""); });
        if (p.test([&] { return tk::CStr(r.Value()).toUpper() == QLatin1String("PLAY"); }))
            p.step([&] { chkAutoplayAudio->setValue(1); });
        else
            p.step([&] { chkAutoplayAudio->setValue(0); });
    });

    form.setLoadBlock(kMediaTypes, [chkAutoPlay](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoDriveTypeAutoRun"); });
        uint8_t mask = 0;
        p.step([&] { mask = pages::DriveTypeMask(r.Value()); });
        for (int i = 0; i < static_cast<int>(chkAutoPlay.size()); ++i) {
            // A set bit switches autorun off for its drive type: the box ticks the ones left on.
            if (p.test([&] { return (mask & (1u << i)) != 0; }))
                p.step([&] { chkAutoPlay[i]->setValue(0); });
            else
                p.step([&] { chkAutoPlay[i]->setValue(1); });
        }
    });

    form.setLoadBlock(kWindowAnimation, [chkAnimateWindows](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_CURRENT_USER, kWindowMetricsKey, "MinAnimate"); });
        p.step([&] {
            const QByteArray text = tk::CStr(r.Value()).toUtf8();
            chkAnimateWindows->setValue(toInteger(tk::Val(std::string_view(text.constData(), text.size()))));
        });
    });

    // ---- save ----------------------------------------------------------------------------

    form.setSaveBlock(kClickHereToBegin, [chkClickHeretoBegin](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoStartBanner"); });
        // Shown is the value's absence; a box not ticked (greyed included) hides the banner.
        if (p.test([&] { return chkClickHeretoBegin->Value() == 1; })) {
            p.step([&] { r.DeleteValue(); });  // a missing value is no error
        } else {
            p.step([&] { r.setValueType(reg::REG_DWORD); });
            p.step([&] { r.setValue(int16_t{1}); });
        }
    });

    form.setSaveBlock(kAudioCD, [chkAutoplayAudio](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_LOCAL_MACHINE, kAudioCDShellKey, ""); });
        p.step([&] { r.setValueType(reg::REG_SZ); });
        if (p.test([&] { return chkAutoplayAudio->Value() == 1; }))
            p.step([&] { r.setValue(std::string("play")); });
        else
            p.step([&] { r.setValue(std::string()); });
    });

    form.setSaveBlock(kMediaTypes, [chkAutoPlay](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_CURRENT_USER, kExplorerPoliciesKey, "NoDriveTypeAutoRun"); });
        p.step([&] { r.setValueType(reg::REG_BINARY); });
        // Built afresh: bits the stored value had beyond the seven boxes are not carried over.
        std::vector<uint8_t> mask(1, 0);
        // A box not ticked (greyed included) switches autorun off for its type: its bit is set.
        for (int i = 0; i < static_cast<int>(chkAutoPlay.size()); ++i)
            if (p.test([&] { return chkAutoPlay[i]->Value() != 1; }))
                p.step([&] { mask[0] |= static_cast<uint8_t>(1u << i); });
        p.step([&] { mask[0] |= 0x80; });
        p.step([&] { r.setValue(mask); });
    });

    form.setSaveBlock(kWindowAnimation, [chkAnimateWindows](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_CURRENT_USER, kWindowMetricsKey, "MinAnimate"); });
        p.step([&] { r.setValueType(reg::REG_SZ); });
        p.step([&] { r.setValue(static_cast<int16_t>(chkAnimateWindows->Value())); });
    });
}
