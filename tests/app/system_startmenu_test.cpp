// The Start Menu pages in the window: the delay slider and the immediate menu-order reset.
#include "app_support.h"
#include "pages/system/start_menu.h"
#include "registry/fake_registry.h"
#include "system_support.h"

using namespace qvtest;
namespace reg = qv::reg;
using qv::pages::kDesktopKey;
using qv::pages::kMenuOrderKey;

namespace {

constexpr int32_t HKCU = reg::HKEY_CURRENT_USER;
using StartMenuPages = PageTest;

}  // namespace

TEST_F(StartMenuPages, DelayOutsideTheSliderOrNoNumberAtAllLeavesTheSliderWhereItWas) {
    auto* slider = control<qv::tk::Slider>(form(), "sldMenuShowDelay");
    EXPECT_EQ(slider->maximum(), 65534);
    EXPECT_EQ(slider->singleStep(), 100);
    EXPECT_EQ(slider->pageStep(), 3500);
    put(HKCU, kDesktopKey, "MenuShowDelay", sz("1200 ms"));
    reload();
    EXPECT_EQ(slider->Value(), 1200);
    for (const char* odd : {"70000", "-1", "99999999999"}) {
        put(HKCU, kDesktopKey, "MenuShowDelay", sz(odd));
        reload();
        EXPECT_EQ(slider->Value(), 1200) << odd;
    }
    remove(HKCU, kDesktopKey, "MenuShowDelay");
    reload();
    EXPECT_EQ(slider->Value(), 0);
    apply();
    EXPECT_EQ(onDisk(HKCU, kDesktopKey, "MenuShowDelay"), sz("0"));
}

TEST_F(StartMenuPages, ResetDeletesTheOrderAtOnceAndNotifiesWithTheProgramsTitle) {
    click("cmdResetMenuOrder");
    EXPECT_FALSE(keyOnDisk(folder(), HKCU, kMenuOrderKey));
    ASSERT_EQ(boxes_.asked.size(), 2u);  // asked first, then told
    EXPECT_EQ(boxes_.asked[0].text, QString::fromLatin1(qv::pages::kMenuOrderAskText));
    EXPECT_EQ(boxes_.asked[1].text, QString::fromLatin1(qv::pages::kMenuOrderResetText));
    EXPECT_EQ(boxes_.asked[1].style, qv::tk::vbOKOnly | qv::tk::vbInformation);
    EXPECT_EQ(boxes_.asked[1].title, qv::tk::App::Title());
    form().cmdCancel_Click();
    EXPECT_FALSE(keyOnDisk(folder(), HKCU, kMenuOrderKey));
}

TEST_F(StartMenuPages, AResetThatCannotBeWrittenIsReportedAsAFailureNotAsDone) {
    form();
    machine().setBeforeRenameHook([](const fs::path&) { throw std::runtime_error("disk full"); });
    click("cmdResetMenuOrder");
    ASSERT_EQ(boxes_.asked.size(), 2u);
    const std::string text = boxes_.asked[1].text.toStdString();
    EXPECT_NE(text.find("Start menu order could not be saved"), std::string::npos) << text;
    EXPECT_NE(text.find("disk full"), std::string::npos) << text;
    EXPECT_EQ(boxes_.asked[1].style & 0x70, qv::tk::vbCritical);
    EXPECT_TRUE(keyOnDisk(folder(), HKCU, kMenuOrderKey));
    // The deletion waits in the machine: the next Apply that can write takes it along.
    machine().setBeforeRenameHook({});
    apply();
    EXPECT_FALSE(keyOnDisk(folder(), HKCU, kMenuOrderKey));
}

TEST(ResetMenuOrder, TellsAKeyThatWouldNotGoFromOneThatWasNeverThere) {
    reg::test::FakeRegistry fake;
    EXPECT_TRUE(qv::pages::ResetMenuOrder(fake));
    fake.addKey(HKCU, std::string(kMenuOrderKey) + "\\Start Menu\\Programs");
    fake.failAlways(reg::test::Call::DeleteKey);
    EXPECT_FALSE(qv::pages::ResetMenuOrder(fake));
    fake.clearFailures();
    EXPECT_TRUE(qv::pages::ResetMenuOrder(fake));
    EXPECT_FALSE(fake.hasKey(HKCU, kMenuOrderKey));
    EXPECT_TRUE(fake.hasKey(HKCU, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"));
}
