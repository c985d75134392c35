#include "pages/system/system_settings.h"

#include <QFontMetrics>
#include <QPushButton>
#include <QStyle>
#include <vector>

#include "app/artwork.h"
#include "app/page.h"
#include "registry/machines/machine.h"

using namespace qv;

namespace {

using reg::HKEY_CURRENT_USER;
using reg::HKEY_LOCAL_MACHINE;

constexpr int kBeepOnErrors = 29;
constexpr int kDisableTilde = 30;
constexpr int kRegistration = 31;
constexpr int kSetupPath = 32;
constexpr int kTaskManager = 33;

void point(reg::cRegistry& r, int32_t root, const char* key, const char* value) {
    r.setClassKey(root);
    r.setSectionKey(key);
    r.setValueKey(value);
}

// A check box's caption does not wrap by itself; a box drawn two lines high breaks its caption at
// the last blank that still fits the first line.
void wrapCaption(QCheckBox* box) {
    const QString caption = box->text();
    const int room = box->width() - box->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) -
                     box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box) - 2;
    const QFontMetrics fm(box->font());
    if (fm.horizontalAdvance(caption) <= room)
        return;
    for (qsizetype blank = caption.lastIndexOf(QLatin1Char(' ')); blank > 0;
         blank = caption.lastIndexOf(QLatin1Char(' '), blank - 1)) {
        if (fm.horizontalAdvance(caption.left(blank)) <= room) {
            box->setText(caption.left(blank) + QLatin1Char('\n') + caption.mid(blank + 1));
            return;
        }
    }
}

// Starts at Windows' own default, so that a value the first load cannot show is not taken as 0.
tk::Slider* timeoutSlider(QWidget* page, const QString& name, const QString& caption, int top, int row,
                          int initial) {
    tk::place(tk::makeLabel(caption, page, QStringLiteral("lbl") + name.mid(3)), 600, top, 3855, 255);
    auto* s = new tk::Slider(page, name);
    s->setLimits(0, 100000, 1, 10000, 10000);
    s->setValue(initial);
    tk::place(s, 600, top + 270, 3855, 375);
    tk::place(tk::makeLabel(QStringLiteral("Short"), page, QStringLiteral("lblShort(%1)").arg(row)), 600,
              top + 660, 1215, 255);
    QLabel* longer = tk::makeLabel(QStringLiteral("Long"), page, QStringLiteral("lblLong(%1)").arg(row));
    longer->setAlignment(Qt::AlignRight | Qt::AlignTop);
    tk::place(longer, 3240, top + 660, 1215, 255);
    QLabel* value = tk::makeLabel(QString(), page, QStringLiteral("lbl") + name.mid(3) + QStringLiteral("Value"));
    value->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    tk::place(value, 1815, top + 660, 1425, 255);
    s->setUnit(QStringLiteral("ms"));
    s->showValueIn(value);
    return s;
}

}  // namespace

QV_PAGE(system_settings) {
    using pages::kFileSystemKey;
    using pages::kNTVersionKey;
    using pages::kSetupKey;
    using pages::kTaskManagerKey;
    using pages::kVersionKey;

    // ---- Beep on Errors: shown, never read or written ----
    auto* chkBeepOnErrors = new tk::CheckBox(QStringLiteral("Beep on errors (unsupported in this version of Windows)"),
                                             form.fraOption(kBeepOnErrors), QStringLiteral("chkBeepOnErrors"));
    tk::place(chkBeepOnErrors, 840, 1800, 3855, 495);
    wrapCaption(chkBeepOnErrors);
    chkBeepOnErrors->setValue(1);
    chkBeepOnErrors->setEnabled(false);

    // ---- Disable ~ on Short File Names ----
    QWidget* tilde = form.fraOption(kDisableTilde);
    auto* chkDisableTilde = new tk::CheckBox(QStringLiteral("Disable (~) on Short File Names"), tilde,
                                             QStringLiteral("chkDisableTilde"));
    tk::place(chkDisableTilde, 840, 1800, 3855, 255);
    auto* imgWarning = new QLabel(tilde);
    imgWarning->setObjectName(QStringLiteral("imgWarning"));
    imgWarning->setPixmap(art::warningPixmap());
    tk::place(imgWarning, 840, 2280, 480, 480);
    tk::place(tk::makeLabel(QStringLiteral("This can change the file names of important directories (e.g. "
                                           "\"Program Files\") and might cause programs to stop functioning."),
                            tilde, QStringLiteral("lblTildeWarning")),
              1440, 2280, 3255, 975);

    // ---- Registration Information ----
    QWidget* registration = form.fraOption(kRegistration);
    tk::place(tk::makeLabel(QStringLiteral("Name:"), registration, QStringLiteral("lblRegisteredName")), 840,
              1860, 1155, 255);
    auto* txtRegisteredName = new tk::TextBox(QString(), registration, QStringLiteral("txtRegisteredName"));
    tk::place(txtRegisteredName, 2040, 1800, 2595, 315);
    tk::place(tk::makeLabel(QStringLiteral("Organization:"), registration, QStringLiteral("lblRegisteredCompany")),
              840, 2340, 1155, 255);
    auto* txtRegisteredCompany =
        new tk::TextBox(QString(), registration, QStringLiteral("txtRegisteredCompany"));
    tk::place(txtRegisteredCompany, 2040, 2280, 2595, 315);

    // ---- Setup Path ----
    QWidget* setup = form.fraOption(kSetupPath);
    tk::place(tk::makeLabel(QStringLiteral("Cabinet File Path:"), setup, QStringLiteral("lblCabFilePath")), 840,
              1800, 3375, 255);
    auto* txtCabFilePath = new tk::TextBox(QString(), setup, QStringLiteral("txtCabFilePath"));
    tk::place(txtCabFilePath, 840, 2100, 3375, 315);
    auto* cmdCabFilePathBrowse = new QPushButton(QStringLiteral("..."), setup);
    cmdCabFilePathBrowse->setObjectName(QStringLiteral("cmdCabFilePathBrowse"));
    cmdCabFilePathBrowse->setAutoDefault(false);
    tk::place(cmdCabFilePathBrowse, 4260, 2100, 375, 315);
    QObject::connect(cmdCabFilePathBrowse, &QPushButton::clicked, &form, [&form, txtCabFilePath] {
        // An empty answer (Cancel, or a folder without a Windows path) keeps what was there.
        const QString chosen = form.BrowseForFolderByPath(txtCabFilePath->Text());
        if (!chosen.isEmpty())
            txtCabFilePath->setText(chosen);
    });

    // ---- Task Manager ----
    QWidget* task = form.fraOption(kTaskManager);
    tk::Slider* sldWaitToKill = timeoutSlider(task, QStringLiteral("sldWaitToKill"), QStringLiteral("Wait to Kill:"),
                                              1440, 0, pages::kWaitToKillDefault);
    tk::Slider* sldHungApp = timeoutSlider(task, QStringLiteral("sldHungApp"), QStringLiteral("Hung App:"), 2640, 1,
                                           pages::kHungAppDefault);
    auto* Command1 = new QPushButton(QStringLiteral("Reset to Defaults"), task);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setAutoDefault(false);
    tk::place(Command1, 3000, 4440, 1815, 375);
    QObject::connect(Command1, &QPushButton::clicked, &form, [&form, sldWaitToKill, sldHungApp] {
        // Only the controls move; Apply or OK writes them, even when they already stood there.
        form.markPageChanged(kTaskManager);
        sldWaitToKill->setValue(pages::kDefaultTimeout);
        sldHungApp->setValue(pages::kDefaultTimeout);
    });

    // ---- load ----------------------------------------------------------------------------

    form.setLoadBlock(kRegistration, [&form, txtRegisteredName, txtRegisteredCompany](Pass& p) {
        reg::cRegistry& r = p.reg();
        auto load = [&](const char* value, tk::TextBox* box) {
            // An NT-like system (every Wine prefix and installed Windows) keeps the names in its
            // own key; the 9x one there is often empty or stale.
            if (p.test([&] { return form.machine().kind() != reg::Machine::Kind::Own; })) {
                p.step([&] { point(r, HKEY_LOCAL_MACHINE, kNTVersionKey, value); });
                if (p.test([&] { return r.ValueExists(); })) {
                    p.step([&] { box->showValue(r); });
                    return;
                }
            }
            p.step([&] { point(r, HKEY_LOCAL_MACHINE, kVersionKey, value); });
            p.step([&] { box->showValue(r); });
        };
        load("RegisteredOwner", txtRegisteredName);
        load("RegisteredOrganization", txtRegisteredCompany);
    });

    form.setLoadBlock(kSetupPath, [txtCabFilePath](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_LOCAL_MACHINE, kSetupKey, "SourcePath"); });
        p.step([&] { txtCabFilePath->showValue(r); });
    });

    form.setLoadBlock(kTaskManager, [sldWaitToKill, sldHungApp](Pass& p) {
        reg::cRegistry& r = p.reg();
        // Text that is no number, or a number outside 0..100000, leaves that slider alone. A value
        // that is not there is Windows' own default: read as 0 it would be saved as "kill at once".
        auto load = [&](const char* value, tk::Slider* slider, int missing) {
            p.step([&] { point(r, HKEY_CURRENT_USER, kTaskManagerKey, value); });
            p.step([&] { slider->setValue(r.ValueExists() ? tk::CLng(r.Value()) : missing); });
        };
        load("WaitToKillAppTimeout", sldWaitToKill, pages::kWaitToKillDefault);
        load("HungAppTimeout", sldHungApp, pages::kHungAppDefault);
    });

    form.setLoadBlock(kDisableTilde, [chkDisableTilde](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_LOCAL_MACHINE, kFileSystemKey, "NameNumericTail"); });
        if (p.test([&] {
                const reg::RegVariant v = r.Value();
                const auto* bytes = std::get_if<std::vector<uint8_t>>(&v);
                return bytes && !bytes->empty() && (*bytes)[0] == 0;
            }))
            p.step([&] { chkDisableTilde->setValue(1); });
        else
            p.step([&] { chkDisableTilde->setValue(0); });
    });

    // ---- save ----------------------------------------------------------------------------

    form.setSaveBlock(kRegistration, [&form, txtRegisteredName, txtRegisteredCompany](Pass& p) {
        reg::cRegistry& r = p.reg();
        auto writeOne = [&](const char* key, const char* value, tk::TextBox* box) {
            p.step([&] { r.setValueType(reg::REG_SZ); });
            p.step([&] { point(r, HKEY_LOCAL_MACHINE, key, value); });
            // An empty box over a value that is not there showed nothing: nothing is written.
            if (p.test([&] { return !box->Text().isEmpty() || r.ValueExists(); }))
                p.step([&] { box->writeTo(r); });
        };
        auto writeBoth = [&](const char* key) {
            writeOne(key, "RegisteredOwner", txtRegisteredName);
            writeOne(key, "RegisteredOrganization", txtRegisteredCompany);
        };
        writeBoth(kVersionKey);
        // An NT-like system (every Wine prefix and installed Windows) shows the names from its own key.
        if (p.test([&] { return form.machine().kind() != reg::Machine::Kind::Own; }))
            writeBoth(kNTVersionKey);
    });

    form.setSaveBlock(kSetupPath, [txtCabFilePath](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { r.setValueType(reg::REG_SZ); });
        p.step([&] { point(r, HKEY_LOCAL_MACHINE, kSetupKey, "SourcePath"); });
        p.step([&] { txtCabFilePath->writeTo(r); });
    });

    form.setSaveBlock(kTaskManager, [sldWaitToKill, sldHungApp](Pass& p) {
        reg::cRegistry& r = p.reg();
        // Decimal text, the type Windows itself keeps these in.
        p.step([&] { r.setValueType(reg::REG_SZ); });
        p.step([&] { point(r, HKEY_CURRENT_USER, kTaskManagerKey, "WaitToKillAppTimeout"); });
        p.step([&] { r.setValue(static_cast<int32_t>(sldWaitToKill->Value())); });
        p.step([&] { point(r, HKEY_CURRENT_USER, kTaskManagerKey, "HungAppTimeout"); });
        p.step([&] { r.setValue(static_cast<int32_t>(sldHungApp->Value())); });
    });

    form.setSaveBlock(kDisableTilde, [chkDisableTilde](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r, HKEY_LOCAL_MACHINE, kFileSystemKey, "NameNumericTail"); });
        if (p.test([&] { return chkDisableTilde->Value() == 1; })) {
            p.step([&] { r.setValueType(reg::REG_BINARY); });
            p.step([&] { r.setValue(std::vector<uint8_t>{0}); });
        } else {
            p.step([&] { r.DeleteValue(); });  // a missing value is no error
        }
    });
}
