// The toolkit's promises that Qt does not keep by itself, and the directory helpers.
#include <QCursor>
#include <QGuiApplication>
#include <QWidget>

#include "app_support.h"
#include "shell/directories.h"
#include "shell/paths.h"

using namespace qvtest;
namespace tk = qv::tk;

TEST(CheckBox, HoldsZeroOneTwoAndClicksOnEveryChangeByCode) {
    QWidget parent;
    tk::CheckBox box("&Box", &parent, "chkBox");
    int clicks = 0;
    QObject::connect(&box, &tk::CheckBox::Click, [&] { ++clicks; });
    box.setValue(1);
    EXPECT_EQ(box.Value(), 1);
    box.setValue(2);
    EXPECT_EQ(box.Value(), 2);
    EXPECT_EQ(box.checkState(), Qt::PartiallyChecked);
    box.setValue(2);  // no change, no click
    EXPECT_EQ(clicks, 2);
    EXPECT_THROW(box.setValue(3), tk::ControlError);
    EXPECT_EQ(box.Value(), 2);
    // A user's click never produces the greyed state.
    box.click();
    EXPECT_EQ(box.Value(), 1);
    box.click();
    EXPECT_EQ(box.Value(), 0);
    EXPECT_EQ(clicks, 4);
}

TEST(OptionButton, SelectingByCodeClicksEvenWhenSelectedAndCanBeCleared) {
    QWidget parent;
    tk::OptionButton on("&Enabled", &parent, "opt(0)"), off("&Disabled", &parent, "opt(1)");
    std::vector<int> clicks;
    QObject::connect(&on, &tk::OptionButton::Click, [&] { clicks.push_back(0); });
    QObject::connect(&off, &tk::OptionButton::Click, [&] { clicks.push_back(1); });
    on.setValue(true);
    on.setValue(true);
    off.setValue(true);
    EXPECT_FALSE(on.Value());
    EXPECT_EQ(clicks, (std::vector<int>{0, 0, 1}));
    // "the first set to the result, the second to its negation"
    on.setValue(false);
    off.setValue(false);
    EXPECT_FALSE(on.Value());
    EXPECT_FALSE(off.Value());
    on.click();  // still exclusive for the user
    off.click();
    EXPECT_FALSE(on.Value());
    EXPECT_TRUE(off.Value());
}

TEST(SliderAndScrollBar, RefuseValuesOutsideTheirRangeInsteadOfClamping) {
    QWidget parent;
    tk::Slider s(&parent, "sld");
    s.setLimits(0, 65534, 100, 3500, 3500);
    int changes = 0;
    QObject::connect(&s, &tk::Slider::Change, [&] { ++changes; });
    s.setValue(400);
    EXPECT_THROW(s.setValue(70000), tk::ControlError);
    EXPECT_THROW(s.setValue(-1), tk::ControlError);
    EXPECT_EQ(s.Value(), 400);
    EXPECT_EQ(changes, 1);

    tk::ScrollBar v(&parent, "VScroll1");
    v.setLimits(32000, -32000);  // top is 32000
    v.setValue(-5);
    EXPECT_EQ(v.Value(), -5);
    EXPECT_THROW(v.setValue(32001), tk::ControlError);
}

TEST(TextBox, ChangeRunsForTextSetByCode) {
    QWidget parent;
    tk::TextBox t("0", &parent, "txtIconIdx");
    int changes = 0;
    QObject::connect(&t, &tk::TextBox::Change, [&] { ++changes; });
    t.setText("12abc");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(t.Text(), "12abc");
}

TEST(CheckListView, KeysAreUniqueWithoutRegardToCase) {
    QWidget parent;
    tk::CheckListView lv(&parent, "lvNewMenu");
    EXPECT_EQ(lv.Add(".txt\\ShellNew", "Text Document"), 0);
    EXPECT_EQ(lv.Add(".bmp\\ShellNew-", "Bitmap Image"), 1);
    EXPECT_THROW(lv.Add(".TXT\\shellnew", "again"), tk::ControlError);
    EXPECT_EQ(lv.Count(), 2);
    EXPECT_EQ(lv.Find(".Txt\\ShellNew"), 0);
    EXPECT_EQ(lv.Find("nothing"), -1);
    // Re-keying follows the entry; a taken key is refused and nothing changes.
    lv.setKey(0, ".txt\\ShellNew-");
    EXPECT_EQ(lv.Find(".txt\\ShellNew"), -1);
    EXPECT_EQ(lv.Find(".txt\\ShellNew-"), 0);
    EXPECT_THROW(lv.setKey(0, ".bmp\\ShellNew-"), tk::ControlError);
    EXPECT_EQ(lv.Key(0), ".txt\\ShellNew-");
    std::vector<int> checks;
    QObject::connect(&lv, &tk::CheckListView::ItemCheck, [&](int i) { checks.push_back(i); });
    lv.setChecked(1, true);
    EXPECT_TRUE(lv.Checked(1));
    EXPECT_EQ(checks, std::vector<int>{1});
    EXPECT_THROW(lv.Text(2), tk::ControlError);
    lv.Clear();
    EXPECT_NO_THROW(lv.Add(".txt\\ShellNew", "Text Document"));
}

TEST(CheckListBox, SelectedIsTheCheckMark) {
    QWidget parent;
    tk::CheckListBox lb(&parent, "lstDrives");
    std::vector<int> checks;
    QObject::connect(&lb, &tk::CheckListBox::ItemCheck, [&](int i) { checks.push_back(i); });
    for (char c = 'A'; c <= 'C'; ++c)
        lb.AddItem(QString(QChar(c)) + ":");
    EXPECT_TRUE(checks.empty());  // adding is not checking
    lb.setSelected(2, true);
    EXPECT_TRUE(lb.Selected(2));
    EXPECT_FALSE(lb.Selected(0));
    EXPECT_EQ(checks, std::vector<int>{2});
    EXPECT_THROW(lb.Selected(3), tk::ControlError);
    std::vector<Qt::MouseButton> ups;
    QObject::connect(&lb, &tk::CheckListBox::MouseUp, [&](Qt::MouseButton b, QPoint) { ups.push_back(b); });
    lb.resize(100, 100);
    mouseClick(lb.viewport(), QPoint(5, 5), Qt::RightButton);
    EXPECT_EQ(ups, std::vector<Qt::MouseButton>{Qt::RightButton});
}

TEST(MessageBox, CarriesTheApplicationTitleAndItsDefaultAnswers) {
    MessageBoxes boxes;
    EXPECT_EQ(tk::MsgBox("Done.", tk::vbOKOnly | tk::vbInformation), tk::vbOK);
    EXPECT_EQ(tk::MsgBox("Sure?", tk::vbYesNoCancel | tk::vbDefaultButton2), tk::vbNo);
    EXPECT_EQ(tk::MsgBox("Titled", tk::vbOKOnly, "Other"), tk::vbOK);
    ASSERT_EQ(boxes.asked.size(), 3u);
    EXPECT_EQ(boxes.asked[0].title, "Quorvel");
    EXPECT_EQ(boxes.asked[1].escapeResult, tk::vbCancel);
    EXPECT_EQ(boxes.asked[2].title, "Other");
}

TEST(MousePointer, HourglassIsAnOverrideCursorUntilRestored) {
    ASSERT_EQ(tk::MousePointer(), tk::vbDefault);
    tk::setMousePointer(tk::vbHourglass);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    tk::setMousePointer(tk::vbHourglass);
    tk::setMousePointer(tk::vbDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(FileDialog, CancelRaisesOnlyWhenAskedTo) {
    tk::setFileDialogHook([](const tk::CommonDialog&) { return std::nullopt; });
    tk::CommonDialog dlg;
    dlg.FileName = "kept";
    EXPECT_NO_THROW(dlg.ShowOpen(nullptr));
    EXPECT_EQ(dlg.FileName, "kept");
    dlg.CancelError = true;
    EXPECT_THROW(dlg.ShowOpen(nullptr), tk::DialogCancelled);
    tk::setFileDialogHook([](const tk::CommonDialog& d) -> std::optional<QString> {
        return d.Filter.section('|', 1, 1);
    });
    dlg.Filter = "Program Files (*.exe)|*.exe|All Files (*.*)|*.*";
    dlg.ShowOpen(nullptr);
    EXPECT_EQ(dlg.FileName, "*.exe");
    tk::setFileDialogHook({});

    // Without a screen the dialog counts as cancelled and is noted.
    tk::setInteractive(false);
    EXPECT_THROW(dlg.ShowOpen(nullptr), tk::DialogCancelled);
    tk::setInteractive(true);
    EXPECT_EQ(tk::takeRefusedDialogs().size(), 1);
}

TEST(Conversions, ReadNumbersAsTheWindowsProgramsDo) {
    EXPECT_EQ(tk::Val("400ms"), 400);
    EXPECT_EQ(tk::Val("fast"), 0);
    EXPECT_EQ(tk::Val(" 1 2 3"), 123);
    EXPECT_EQ(tk::Val("-2.5e2x"), -250);
    EXPECT_EQ(tk::Val("&HFF"), 255);
    EXPECT_EQ(tk::Val("&HFFFF"), -1);
    EXPECT_EQ(tk::Val("12abc"), 12);
    EXPECT_EQ(tk::CInt(qv::reg::RegVariant{std::string("2.5")}), 2);
    EXPECT_EQ(tk::CInt(qv::reg::RegVariant{std::string("3.5")}), 4);
    EXPECT_EQ(tk::CInt(qv::reg::RegVariant{}), 0);
    EXPECT_EQ(tk::CInt(qv::reg::RegVariant{int32_t{1}}), 1);
    EXPECT_THROW(tk::CInt(qv::reg::RegVariant{std::string("12abc")}), tk::ConversionError);
    EXPECT_THROW(tk::CInt(qv::reg::RegVariant{int32_t{40000}}), tk::ConversionError);
    EXPECT_THROW(tk::CInt(qv::reg::RegVariant{std::vector<uint8_t>{1, 0, 0, 0}}), tk::ConversionError);
    EXPECT_EQ(tk::CLng(qv::reg::RegVariant{std::string(" 20000 ")}), 20000);
}

TEST(Directories, AreTheMachinesWindowsPathsWithoutTrailingSeparators) {
    EXPECT_EQ(qv::shell::TrimAtNull(std::string("C:\\WINDOWS\0junk", 16)), "C:\\WINDOWS");
    EXPECT_EQ(qv::shell::TrimAtNull(std::string("\0abc", 4)), "");
    EXPECT_EQ(qv::shell::TrimAtNull("plain"), "plain");

    TempDir dir;
    auto machine = qv::reg::Machine::openOwn(dir.path() / "m");
    EXPECT_EQ(qv::shell::WindowsDirectory(*machine), "C:\\WINDOWS");
    EXPECT_EQ(qv::shell::SystemDirectory(*machine), "C:\\WINDOWS\\SYSTEM");
    qv::shell::setCurrentMachine(machine.get());
    const auto host = qv::shell::HostPath(qv::shell::WindowsDirectory() + "\\ShellIconCache");
    ASSERT_TRUE(host);
    EXPECT_EQ(*host, dir.path() / "m" / "drive_c" / "WINDOWS" / "ShellIconCache");
    EXPECT_THROW(qv::shell::SetAttrNormal(*host), std::filesystem::filesystem_error);
    EXPECT_THROW(qv::shell::Kill(*host), std::filesystem::filesystem_error);
    qv::shell::setCurrentMachine(nullptr);
    EXPECT_FALSE(qv::shell::HostPath("C:\\x"));
}
