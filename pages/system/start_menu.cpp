#include "pages/system/start_menu.h"

#include <QPushButton>
#include <limits>

#include "app/page.h"
#include "registry/machines/machine.h"

namespace qv::pages {

constexpr int kMenuOrder = 27;

bool ResetMenuOrder(reg::RegistryApi& api) {
    reg::cRegistry r(api);
    r.setClassKey(reg::HKEY_CURRENT_USER);
    r.setSectionKey(kMenuOrderKey);
    r.DeleteKey();
    // DeleteKey answers false both for a key that was never there and for one it could not
    // delete; only the second is a failure worth telling.
    return !r.KeyExists();
}

void cmdResetMenuOrder_Click(frmMain& form) {
    // The order the user arranged is gone for good otherwise: ask, and keep the way back.
    if (tk::MsgBox(QString::fromLatin1(kMenuOrderAskText), tk::vbYesNo | tk::vbQuestion) != tk::vbYes)
        return;
    form.markPageChanged(kMenuOrder);
    if (!ResetMenuOrder(form.machine())) {
        tk::MsgBox(QString::fromLatin1(kMenuOrderFailedText), tk::vbOKOnly | tk::vbCritical);
        return;
    }
    // The commit path tells the user itself when the deletion could not be written.
    if (!form.commitChanges(QStringLiteral("The reset of your Start menu order")))
        return;
    tk::MsgBox(QString::fromLatin1(kMenuOrderResetText), tk::vbOKOnly | tk::vbInformation);
}

}  // namespace qv::pages

using namespace qv;

namespace {

constexpr int kMenuSpeed = 26;

// A number made 32-bit as the conversion does it: rounded half to even, overflow refused.
int32_t toLong(double v) {
    const double r = tk::roundHalfEven(v);
    if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
        throw tk::ConversionError("Overflow");
    return static_cast<int32_t>(r);
}

void point(reg::cRegistry& r) {
    r.setClassKey(reg::HKEY_CURRENT_USER);
    r.setSectionKey(pages::kDesktopKey);
    r.setValueKey("MenuShowDelay");
}

}  // namespace

QV_PAGE(start_menu) {
    QWidget* speed = form.fraOption(kMenuSpeed);
    tk::place(tk::makeLabel(QStringLiteral("Faster"), speed, QStringLiteral("lblFaster")), 600, 1800, 1215, 255);
    QLabel* slower = tk::makeLabel(QStringLiteral("Slower"), speed, QStringLiteral("lblSlower"));
    slower->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    tk::place(slower, 3240, 1800, 1215, 255);
    auto* sldMenuShowDelay = new tk::Slider(speed, QStringLiteral("sldMenuShowDelay"));
    sldMenuShowDelay->setLimits(0, 65534, 100, 3500, 3500);
    tk::place(sldMenuShowDelay, 600, 2100, 3855, 495);
    // The delay itself, between the two ends' words.
    QLabel* delay = tk::makeLabel(QString(), speed, QStringLiteral("lblMenuShowDelayValue"));
    delay->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    tk::place(delay, 1815, 1800, 1425, 255);
    sldMenuShowDelay->setAccessibleName(QStringLiteral("Menu Speed"));
    sldMenuShowDelay->setUnit(QStringLiteral("ms"));
    sldMenuShowDelay->showValueIn(delay);

    auto* cmdResetMenuOrder = new QPushButton(QStringLiteral("&Reset Menu Order"), form.fraOption(pages::kMenuOrder));
    cmdResetMenuOrder->setObjectName(QStringLiteral("cmdResetMenuOrder"));
    cmdResetMenuOrder->setAutoDefault(false);
    tk::place(cmdResetMenuOrder, 840, 1800, 2055, 375);
    QObject::connect(cmdResetMenuOrder, &QPushButton::clicked, &form,
                     [&form] { pages::cmdResetMenuOrder_Click(form); });

    form.setLoadBlock(kMenuSpeed, [sldMenuShowDelay](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r); });
        // "400ms" gives 400 and "fast" 0; a number outside the slider's range leaves it alone.
        p.step([&] {
            const QByteArray text = tk::CStr(r.Value()).toUtf8();
            sldMenuShowDelay->setValue(toLong(tk::Val(std::string_view(text.constData(), text.size()))));
        });
    });

    form.setSaveBlock(kMenuSpeed, [sldMenuShowDelay](Pass& p) {
        reg::cRegistry& r = p.reg();
        p.step([&] { point(r); });
        p.step([&] { r.setValueType(reg::REG_SZ); });
        p.step([&] { r.setValue(static_cast<int32_t>(sldMenuShowDelay->Value())); });
    });
}
