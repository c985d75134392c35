// The load and save passes and the commands that run them, driven through the window. The pages
// here are small stand-ins built the way a real page is (controls on the frame, blocks in slots).
#include <QApplication>
#include <QCursor>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <fstream>

#include "app/frmabout.h"
#include "app/help.h"
#include "app/nodes.h"
#include "app_support.h"

using namespace qvtest;
using qv::frmMain;
using qv::Pass;
namespace reg = qv::reg;

namespace {

const char* kVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";

// A page on the registration slot: one text box mirrored to RegisteredOwner.
qv::tk::TextBox* ownerPage(frmMain& f) {
    auto* box = new qv::tk::TextBox(QString(), f.fraOption(31), "txtRegisteredName");
    f.setLoadBlock(31, [box](Pass& p) {
        p.step([&] {
            p.reg().setClassKey(reg::HKEY_LOCAL_MACHINE);
            p.reg().setSectionKey(kVersionKey);
            p.reg().setValueKey("QuorvelTestOwner");
            box->setText(qv::tk::CStr(p.reg().Value()));
        });
    });
    f.setSaveBlock(31, [box](Pass& p) {
        p.step([&] {
            p.reg().setClassKey(reg::HKEY_LOCAL_MACHINE);
            p.reg().setSectionKey(kVersionKey);
            p.reg().setValueKey("QuorvelTestOwner");
            p.reg().setValueType(reg::REG_SZ);
            p.reg().setValue(box->Text().toStdString());
        });
    });
    return box;
}

std::string text(const reg::RegVariant& v) { return reg::variantToText(v); }

}  // namespace

TEST(PassTable, SaveOrderIsTheLoadOrderWithoutTheReadOnlyPage) {
    std::vector<int> load, save;
    for (const auto& s : qv::kLoadOrder)
        if (s.node != 13)
            load.push_back(s.node);
    for (const auto& s : qv::kSaveOrder)
        save.push_back(s.node);
    EXPECT_EQ(load, save);
    EXPECT_EQ(qv::kLoadOrder.front().node, 16);  // hidden drives first
    EXPECT_EQ(qv::kLoadOrder.back().node, 15);   // explore as default last
    for (int none : {1, 2, 3, 7, 9, 12, 19, 20, 25, 27, 28, 29}) {
        EXPECT_FALSE(qv::hasLoadSlot(none)) << none;
        EXPECT_FALSE(qv::hasSaveSlot(none)) << none;
    }
}

TEST_F(WindowTest, BlocksRunInTableOrderSharingOneAccessorWhosePropertiesCarryOver) {
    frmMain& f = form();
    std::vector<int> ran;
    std::set<reg::cRegistry*> accessors;
    bool firstPass = true;
    for (const auto& slot : qv::kLoadOrder) {
        const int node = slot.node;
        f.setLoadBlock(node, [&, node](Pass& p) {
            ran.push_back(node);
            accessors.insert(&p.reg());
            if (node == 16)
                p.reg().setValueType(reg::REG_DWORD);
            if (node == 15 && firstPass) {  // the last block still sees what the first one left
                EXPECT_EQ(p.reg().ValueType(), static_cast<int32_t>(reg::REG_DWORD));
            }
        });
    }
    f.LoadSettings();
    std::vector<int> expected;
    for (const auto& slot : qv::kLoadOrder)
        expected.push_back(slot.node);
    EXPECT_EQ(ran, expected);
    EXPECT_EQ(accessors.size(), 1u);

    // The next pass starts with a fresh accessor.
    firstPass = false;
    f.setLoadBlock(16, [&](Pass& p) { EXPECT_EQ(p.reg().ValueType(), 0); });
    f.LoadSettings();
}

TEST_F(WindowTest, PagesWithoutASlotCannotRegisterBlocks) {
    frmMain& f = form();
    EXPECT_THROW(f.setSaveBlock(13, [](Pass&) {}), std::logic_error);
    EXPECT_THROW(f.setLoadBlock(27, [](Pass&) {}), std::logic_error);
    EXPECT_NO_THROW(f.setLoadBlock(13, [](Pass&) {}));
    EXPECT_TRUE(f.hasLoadBlock(13));
    EXPECT_FALSE(f.hasSaveBlock(27));
}

TEST_F(WindowTest, AFailingStepIsSkippedAndAFailedTestTakesTheTrueBranch) {
    frmMain& f = form();
    std::vector<QString> reported;
    f.setStepFailureSink([&](const QString& line) { reported.push_back(line); });
    auto* slider = new qv::tk::Slider(f.fraOption(26), "sldMenuShowDelay");
    slider->setLimits(0, 65534, 100, 3500, 3500);
    slider->setValue(400);
    bool trueBranch = false, laterStep = false, nextBlock = false;
    f.setSaveBlock(4, [&](Pass& p) {
        p.step([&] {
            p.reg().setClassKey(0);  // no such root: the write fails
            p.reg().setSectionKey("X");
            p.reg().setValue(std::string("lost"));
        });
        p.step([&] { slider->setValue(70000); });  // the control refuses
        if (p.test([&]() -> bool { throw std::runtime_error("test failed"); }))
            trueBranch = true;
        p.step([&] { laterStep = true; });
        throw std::runtime_error("a block that escapes its steps");
    });
    f.setSaveBlock(5, [&](Pass&) { nextBlock = true; });
    EXPECT_TRUE(f.SaveSettings());
    EXPECT_TRUE(trueBranch);
    EXPECT_TRUE(laterStep);
    EXPECT_TRUE(nextBlock);
    EXPECT_EQ(slider->Value(), 400);
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_TRUE(reported[0].startsWith("save step 2 (Explore From Here): registry error")) << reported[0].toStdString();
    EXPECT_TRUE(boxes_.asked.empty());  // the window stays silent about steps
}

TEST_F(WindowTest, SaveWritesEveryPageInOneCommitAtTheEnd) {
    frmMain& f = form();
    std::map<std::string, int> renames;
    machine().setBeforeRenameHook([&](const fs::path& p) { ++renames[p.filename().string()]; });
    for (int node : {11, 23, 24}) {  // three blocks, all in the user's file
        f.setSaveBlock(node, [node](Pass& p) {
            p.reg().setClassKey(reg::HKEY_CURRENT_USER);
            p.reg().setSectionKey("Software\\QuorvelTest");
            p.reg().setValueKey("v" + std::to_string(node));
            p.reg().setValueType(reg::REG_SZ);
            p.reg().setValue(std::string("x"));
        });
    }
    for (int node : {11, 23, 24}) f.markPageChanged(node);
    EXPECT_TRUE(f.SaveSettings());
    // The pages may write the machine's file too; each file is written once, at the end.
    EXPECT_EQ(renames["user.reg"], 1);
    for (const auto& [file, count] : renames) EXPECT_EQ(count, 1) << file;
    for (int node : {11, 23, 24})
        EXPECT_EQ(text(readFromDisk(reg::HKEY_CURRENT_USER, "Software\\QuorvelTest", "v" + std::to_string(node))), "x");
}

TEST_F(WindowTest, ApplyDropsChangeMarksButReloadKeepsThem) {
    frmMain& f = form();
    f.fraOption(4)->setCaption("Explore From Here*");
    f.fraOption(5)->setCaption("MSDOS Prompt on Directories*");
    f.mnuFileReloadSettings->trigger();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here*");
    f.cmdApply->click();
    EXPECT_EQ(f.fraOption(4)->Caption(), "Explore From Here");
    EXPECT_EQ(f.fraOption(5)->Caption(), "MSDOS Prompt on Directories");
    EXPECT_FALSE(f.isUnloaded());
}

TEST_F(WindowTest, ApplyDeletesAReadOnlyIconCacheAndStillSavesWithoutOne) {
    frmMain& f = form();
    qv::tk::TextBox* owner = ownerPage(f);
    const auto cache = machine().hostPath(machine().windowsDirectory() + "\\ShellIconCache");
    ASSERT_TRUE(cache);
    fs::create_directories(cache->parent_path());
    std::ofstream(*cache) << "cache";
    fs::permissions(*cache, fs::perms::owner_read);
    owner->setText("Ada");
    f.cmdApply->click();
    EXPECT_FALSE(fs::exists(*cache));
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "Ada");

    owner->setText("Grace");
    f.cmdApply->click();  // no cache file now
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "Grace");
}

TEST_F(WindowTest, CancelAfterApplyKeepsTheAppliedValuesAndWritesNothingMore) {
    frmMain& f = form();
    qv::tk::TextBox* owner = ownerPage(f);
    owner->setText("Applied");
    f.cmdApply->click();
    owner->setText("Not applied");
    f.cmdCancel->click();
    EXPECT_TRUE(f.isUnloaded());
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "Applied");
}

TEST_F(WindowTest, QuitAsksEveryTimeAndFollowsTheAnswer) {
    frmMain& f = form();
    qv::tk::TextBox* owner = ownerPage(f);
    owner->setText("Edited");

    boxes_.answer = qv::tk::vbCancel;
    f.mnuFileQuit->trigger();
    ASSERT_EQ(boxes_.asked.size(), 1u);
    EXPECT_EQ(boxes_.asked[0].text, "Save changes before exiting?");
    EXPECT_EQ(boxes_.asked[0].title, "Quorvel");
    EXPECT_EQ(boxes_.asked[0].style & 7, qv::tk::vbYesNoCancel);
    EXPECT_EQ(boxes_.asked[0].style & 0x70, qv::tk::vbQuestion);
    EXPECT_EQ(boxes_.asked[0].defaultResult, qv::tk::vbYes);
    EXPECT_FALSE(f.isUnloaded());
    EXPECT_EQ(owner->Text(), "Edited");
    EXPECT_TRUE(reg::isEmpty(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")));

    boxes_.answer = qv::tk::vbYes;
    f.mnuFileQuit->trigger();
    EXPECT_EQ(boxes_.asked.size(), 2u);
    EXPECT_TRUE(f.isUnloaded());
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "Edited");
}

TEST_F(WindowTest, QuitNoAndTheCloseBoxWriteNothing) {
    {
        frmMain& f = form();
        ownerPage(f)->setText("Discarded");
        boxes_.answer = qv::tk::vbNo;
        f.mnuFileQuit->trigger();
        EXPECT_TRUE(f.isUnloaded());
    }
    form_.reset();
    frmMain& g = form();
    ownerPage(g)->setText("Closed");
    g.show();
    const size_t asked = boxes_.asked.size();
    bool unloaded = false;
    QObject::connect(&g, &frmMain::unloaded, [&] { unloaded = true; });
    g.close();
    EXPECT_TRUE(unloaded);
    EXPECT_EQ(boxes_.asked.size(), asked);
    EXPECT_TRUE(reg::isEmpty(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")));
}

TEST_F(WindowTest, AFailedCommitIsReportedAndKeepsTheWindowAndEveryEdit) {
    frmMain& f = form();
    qv::tk::TextBox* owner = ownerPage(f);
    owner->setText("Pending");
    machine().setBeforeRenameHook([](const fs::path&) { throw std::runtime_error("disk full"); });

    f.cmdApply->click();
    ASSERT_EQ(boxes_.asked.size(), 1u);
    EXPECT_TRUE(boxes_.asked[0].text.contains("disk full")) << boxes_.asked[0].text.toStdString();
    EXPECT_EQ(boxes_.asked[0].title, "Quorvel");
    EXPECT_EQ(f.commitFailures(), 1);

    f.cmdOK->click();
    EXPECT_FALSE(f.isUnloaded());
    boxes_.answer = qv::tk::vbYes;
    f.mnuFileQuit->trigger();
    EXPECT_FALSE(f.isUnloaded());
    EXPECT_EQ(owner->Text(), "Pending");
    EXPECT_TRUE(reg::isEmpty(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")));

    // Once the disk has room again, the same button saves everything.
    machine().setBeforeRenameHook({});
    boxes_.answer = 0;
    f.cmdOK->click();
    EXPECT_TRUE(f.isUnloaded());
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "Pending");
}

TEST_F(WindowTest, ReloadReadsTheRegistryAgainUnderTheHourglassAndRestoresThePointer) {
    frmMain& f = form();
    qv::tk::TextBox* owner = ownerPage(f);
    write(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner", reg::REG_SZ, std::string("Stored"));
    machine().commit();
    // A change that never reached the disk is not what the registry holds: reload drops it.
    write(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner", reg::REG_SZ, std::string("Unsaved"));
    owner->setText("Typed");
    int during = -1;
    Qt::CursorShape shape = Qt::ArrowCursor;
    f.setLoadBlock(16, [&](Pass&) {
        during = qv::tk::MousePointer();
        if (QGuiApplication::overrideCursor())
            shape = QGuiApplication::overrideCursor()->shape();
    });
    f.mnuFileReloadSettings->trigger();
    EXPECT_EQ(owner->Text(), "Stored");
    EXPECT_EQ(during, qv::tk::vbHourglass);
    EXPECT_EQ(shape, Qt::WaitCursor);
    EXPECT_EQ(qv::tk::MousePointer(), qv::tk::vbDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(WindowTest, ReloadSeesAFileChangedOnDiskByAnotherProgram) {
    frmMain& f = form();
    qv::tk::TextBox* owner = ownerPage(f);
    f.LoadSettings();
    {
        auto other = reg::Machine::openOwn(dir_.path() / "machine");
        reg::cRegistry r(*other);
        r.setClassKey(reg::HKEY_LOCAL_MACHINE);
        r.setSectionKey(kVersionKey);
        r.setValueKey("QuorvelTestOwner");
        r.setValueType(reg::REG_SZ);
        r.setValue(std::string("From elsewhere"));
        other->commit();
    }
    f.mnuFileReloadSettings->trigger();
    EXPECT_EQ(owner->Text(), "From elsewhere");
}

TEST_F(WindowTest, EnterPressesOKAndEscCancels) {
    frmMain& f = form();
    f.show();
    QApplication::setActiveWindow(&f);
    qv::tk::TextBox* owner = ownerPage(f);
    owner->setText("By Enter");
    f.selectNode(31);
    owner->setFocus();
    keyClick(owner, Qt::Key_Return);
    EXPECT_TRUE(f.isUnloaded());
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "By Enter");

    form_.reset();
    frmMain& g = form();
    g.show();
    QApplication::setActiveWindow(&g);
    ownerPage(g)->setText("By Esc");
    keyClick(g.tvList, Qt::Key_Escape);
    EXPECT_TRUE(g.isUnloaded());
    EXPECT_EQ(text(readFromDisk(reg::HKEY_LOCAL_MACHINE, kVersionKey, "QuorvelTestOwner")), "By Enter");
}

TEST_F(WindowTest, HelpOpensAtTheTopicOfThePageOnScreen) {
    frmMain& f = form();
    f.show();
    QApplication::setActiveWindow(&f);
    f.selectNode(17);
    keyClick(f.tvList, Qt::Key_F1);
    ASSERT_NE(f.helpWindow(), nullptr);
    EXPECT_EQ(f.helpWindow()->currentTopic(), "Explorer-New");
    EXPECT_TRUE(f.helpWindow()->isVisible());

    f.selectNode(33);
    f.cmdHelp->click();  // like a sent F1: handled once the click has returned
    EXPECT_EQ(f.helpWindow()->currentTopic(), "Explorer-New");
    QCoreApplication::processEvents();
    EXPECT_EQ(f.helpWindow()->currentTopic(), "System-TaskManager");

    f.selectNode(1);
    f.mnuHelpContents->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(f.helpWindow()->currentTopic(), "Root");

    // Unloading the window closes its help as well.
    QPointer<qv::HelpWindow> help = f.helpWindow();
    f.cmdCancel->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(!help || !help->isVisible());
}

TEST(HelpFile, HasATopicForEveryNodeNamingItsRegistryPlace) {
    const QString html = qv::helpText();
    for (int i = 1; i <= qv::kNodeCount; ++i)
        EXPECT_TRUE(html.contains(QStringLiteral("name=\"%1\"").arg(qv::helpAnchor(i))))
            << qv::helpAnchor(i).toStdString();
    EXPECT_TRUE(html.contains("NoDrives"));
    EXPECT_TRUE(html.contains("MenuShowDelay"));
    EXPECT_TRUE(qv::helpFilePath().endsWith("Quorvel.hlp"));
}

TEST(AboutBox, NamesTheProgramAndOpensTheMakersLinks) {
    qv::frmAbout about;
    EXPECT_EQ(about.windowTitle(), "About Quorvel.Quorvel");
    EXPECT_EQ(about.lblAppname->text(), "Quorvel.Quorvel 1.0.25");
    EXPECT_EQ(about.size(), QSize(376, 192));
    EXPECT_EQ(about.Label2->palette().color(QPalette::WindowText), QColor(0, 64, 64));
    EXPECT_TRUE(about.Label3->font().underline());

    std::vector<QUrl> opened;
    qv::tk::setUrlHook([&](const QUrl& u) { opened.push_back(u); });
    about.show();
    mouseClick(about.Label2, QPoint(2, 2));
    mouseClick(about.Label3, QPoint(2, 2));
    qv::tk::setUrlHook({});
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], QUrl("https://quorvel.org"));
    EXPECT_EQ(opened[1], QUrl("mailto:support@quorvel.org"));

    for (int key : {Qt::Key_Escape, Qt::Key_Return}) {
        qv::frmAbout box;
        box.show();
        bool closed = false;
        QObject::connect(&box, &QDialog::finished, [&] { closed = true; });
        keyClick(&box, key);
        EXPECT_TRUE(closed) << key;
    }
}
