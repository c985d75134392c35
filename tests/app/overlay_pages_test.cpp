// The overlay icon pages: the shared-item overlay (page 8) and the shortcut arrow (page 10), their
// icon selectors, previews and change-icon chooser, and what they store.
#include <QImage>
#include <QPushButton>
#include <fstream>

#include "explorer_support.h"
#include "pages/explorer/overlay_icons.h"
#include "shell/changeicon.h"
#include "shell/colour_icons.h"
#include "shell/directories.h"
#include "shell/iconselector.h"
#include "shell/ownicons.h"
#include "shell/paths.h"

using namespace qvtest;
using namespace qvtest::explorer;
using qv::explorer::IndexNumber;
using reg::HKEY_LOCAL_MACHINE;

namespace {

const char* kKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons";
const std::filesystem::path kWineShell32 = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll";

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Answers the change-icon chooser and keeps what it was asked.
class ChooserAnswer {
public:
    explicit ChooserAnswer(std::optional<qv::shell::IconChoice> answer) : answer_(std::move(answer)) {
        qv::shell::setChangeIconHook([this](const qv::shell::ChangeIconRequest& r) {
            asked.push_back(r);
            return answer_;
        });
    }
    ~ChooserAnswer() { qv::shell::setChangeIconHook({}); }
    std::vector<qv::shell::ChangeIconRequest> asked;

private:
    std::optional<qv::shell::IconChoice> answer_;
};

class OverlayPages : public ExplorerTest {
protected:
    void SetUp() override {
        ExplorerTest::SetUp();
        qv::shell::setCurrentMachine(&machine());  // the window sets it too; the tests need it first
        own_ = qv::shell::OwnExecutablePath();
        arrow_ = qv::shell::LightArrowIconPath() + ",0";
        blank_ = qv::shell::BlankIconPath() + ",0";
    }
    void TearDown() override {
        form_.reset();
        qv::shell::setCurrentMachine(nullptr);
        ExplorerTest::TearDown();
    }
    tk::TextBox* path8() { return txt("txtIconPath"); }
    tk::TextBox* idx8() { return txt("txtIconIdx"); }
    tk::ScrollBar* spin8() { return ctl<tk::ScrollBar>("VScroll1"); }
    tk::TextBox* path10() { return txt("txtShortcutIconPath"); }
    tk::TextBox* idx10() { return txt("txtShortcutIconIdx"); }
    tk::ScrollBar* spin10() { return ctl<tk::ScrollBar>("VScrollShortcut"); }
    tk::OptionButton* choice(int i) { return opt(QStringLiteral("optShortcutIcon(%1)").arg(i)); }
    tk::Frame* customFrame() { return ctl<tk::Frame>("fraShotcutIconOverlayCustom"); }
    QImage pic8() { return ctl<qv::shell::PreviewBox>("picSmallIcon")->image(); }
    QImage pic10() { return ctl<qv::shell::PreviewBox>("picShortcutSmallIcon")->image(); }
    QImage bare8() { return ctl<qv::shell::PreviewBox>("picSmallIcon")->background(); }
    int selected() {
        int which = -1;
        for (int i = 0; i < 4; ++i)
            if (choice(i)->Value()) {
                EXPECT_EQ(which, -1) << "two buttons selected";
                which = i;
            }
        return which;
    }
    std::optional<Stored> v28() { return stored(HKEY_LOCAL_MACHINE, kKey, "28"); }
    std::optional<Stored> v29() { return stored(HKEY_LOCAL_MACHINE, kKey, "29"); }
    std::string sysDir() { return qv::shell::SystemDirectory(); }
    // A file on C: with `groups` icons of distinct colours; its Windows path.
    std::string colourFile(int groups) {
        const auto host = folder() / "drive_c" / "Icons" / "colours.dll";
        std::filesystem::create_directories(host.parent_path());
        std::ofstream(host, std::ios::binary) << icontest::colourIconsPe(groups);
        return *qv::shell::WindowsPathOf(host);
    }
    // Which colour group the preview shows at (1,1) + (5,5), or -1.
    static int groupShown(const QImage& pic) {
        const QRgb c = pic.pixel(6, 6);
        for (int i = 0; i < 20; ++i)
            if ((c & 0xFFFFFF) == (icontest::groupColour(i) & 0xFFFFFF))
                return i;
        return -1;
    }
    std::string own_, arrow_, blank_;
    std::filesystem::path ownFiles() { return folder() / "drive_c" / "WINDOWS" / "Quorvel"; }
};

}  // namespace

TEST_F(OverlayPages, ControlsSitWhereTheLayoutPutsThem) {
    qv::frmMain& f = form();
    struct Expect {
        const char* name;
        int page;
        QRect at;
    };
    const Expect expected[] = {
        {"picSmallIcon", 8, twips(480, 360, 600, 600)},
        {"txtIconPath", 8, twips(1800, 2520, 3135, 285)},
        {"txtIconIdx", 8, twips(1800, 3120, 735, 285)},
        {"VScroll1", 8, twips(2280, 3150, 225, 225)},
        {"cmdBrowse", 8, twips(3720, 3000, 1215, 375)},
        {"picShortcutSmallIcon", 10, twips(480, 360, 600, 600)},
        {"optShortcutIcon(0)", 10, twips(1920, 2400, 1815, 255)},
        {"optShortcutIcon(1)", 10, twips(1920, 2640, 1815, 255)},
        {"optShortcutIcon(3)", 10, twips(1920, 2880, 1815, 255)},
        {"optShortcutIcon(2)", 10, twips(1920, 3120, 855, 255)},
        {"fraShotcutIconOverlayCustom", 10, twips(1800, 3120, 3015, 1575)},
        {"txtShortcutIconPath", 10, twips(120, 600, 2775, 285)},
        {"txtShortcutIconIdx", 10, twips(120, 1200, 735, 285)},
        {"VScrollShortcut", 10, twips(600, 1230, 225, 225)},
        {"cmdShortcutBrowse", 10, twips(1680, 1080, 1215, 375)},
    };
    for (const Expect& e : expected) {
        const qv::ctl::Control c = qv::ctl::findControl(f, e.name);
        EXPECT_EQ(c.page, e.page) << e.name;
        auto* w = qobject_cast<QWidget*>(c.object.data());
        ASSERT_NE(w, nullptr) << e.name;
        if (QString::fromLatin1(e.name).startsWith(QLatin1String("optShortcutIcon"))) {
            // Captions may grow to fit a wider font, never shrink.
            EXPECT_EQ(w->geometry().topLeft(), e.at.topLeft()) << e.name;
            EXPECT_EQ(w->height(), e.at.height()) << e.name;
            EXPECT_GE(w->width(), e.at.width()) << e.name;
        } else {
            EXPECT_EQ(w->geometry(), e.at) << e.name;
        }
    }
    EXPECT_EQ(choice(0)->text(), "Normal");
    EXPECT_EQ(choice(1)->text(), "Light Arrow");
    EXPECT_EQ(choice(3)->text(), "None");
    EXPECT_EQ(choice(2)->text(), "Custom");
    EXPECT_EQ(cmd("cmdBrowse")->text(), "&Browse");
    EXPECT_EQ(path10()->parentWidget(), customFrame());
    EXPECT_EQ(choice(2)->parentWidget(), f.fraOption(10));  // on the frame's edge, not inside
    EXPECT_EQ(ctl<QWidget>("picSmallIcon")->parentWidget()->parentWidget(), f.fraOption(8));
    EXPECT_EQ(spin8()->Min(), 32000);
    EXPECT_EQ(spin8()->Max(), -32000);
    EXPECT_EQ(spin10()->Min(), 32000);
    EXPECT_EQ(pic8().size(), QSize(40, 40));
}

TEST_F(OverlayPages, MissingValuesShowWindowsOwnOverlaysAndTheFirstSaveWritesThem) {
    form();
    EXPECT_EQ(path8()->Text().toStdString(), sysDir() + "\\shell32.dll");
    EXPECT_EQ(path8()->Text(), "C:\\WINDOWS\\SYSTEM\\shell32.dll");
    EXPECT_EQ(idx8()->Text(), "28");
    EXPECT_EQ(spin8()->Value(), 28);
    EXPECT_EQ(selected(), 0);
    EXPECT_EQ(path10()->Text(), "C:\\WINDOWS\\SYSTEM\\shell32.dll");
    EXPECT_EQ(idx10()->Text(), "29");
    EXPECT_EQ(spin10()->Value(), 29);
    EXPECT_FALSE(customFrame()->Visible());
    apply();
    EXPECT_EQ(v28(), sz("C:\\WINDOWS\\SYSTEM\\shell32.dll,28"));
    EXPECT_EQ(v29(), sz(""));  // "Normal" stores the empty string
    reload();
    EXPECT_EQ(selected(), 0);
    EXPECT_EQ(idx10()->Text(), "29");  // the custom boxes hold the default location again
    EXPECT_TRUE(boxes_.asked.empty());
}

TEST_F(OverlayPages, TheOwnLocationsLoadWhateverTheirLetterCase) {
    putString(HKEY_LOCAL_MACHINE, kKey, "29", upper(own_) + ",1");
    form();
    EXPECT_EQ(selected(), 1);
    EXPECT_EQ(path10()->Text().toStdString(), upper(own_));  // the stored form is kept in the boxes
    EXPECT_FALSE(customFrame()->Visible());
    apply();
    EXPECT_EQ(v29(), sz(upper(own_) + ",1"));  // left alone: written back as stored

    putString(HKEY_LOCAL_MACHINE, kKey, "29", upper(own_) + ",2");
    reload();
    EXPECT_EQ(selected(), 3);
    EXPECT_EQ(pic10(), ctl<qv::shell::PreviewBox>("picShortcutSmallIcon")->background());
    choice(1)->setValue(true);  // chosen: the page's own spelling, an icon file of the machine
    apply();
    EXPECT_EQ(v29(), sz(arrow_));

    putString(HKEY_LOCAL_MACHINE, kKey, "29", upper(sysDir()) + "\\SHELL32.DLL,29");
    reload();
    EXPECT_EQ(selected(), 0);
}

TEST_F(OverlayPages, TheOlderProgramFormWhereverBuiltAndTheIconFilesLoadAsOwnChoices) {
    const struct {
        std::string stored;
        int choice;
    } cases[] = {
        {"Z:\\home\\u\\old build\\app\\QUORVEL.exe,1", 1},
        {"Z:\\elsewhere\\quorvel.exe,2", 3},
        {"c:\\windows\\quorvel\\lightarrow.ico,0", 1},
        {qv::shell::LightArrowIconPath(), 1},
        {qv::shell::BlankIconPath() + ",0", 3},
        {qv::shell::BlankIconPath() + ",1", 2},
        {"Z:\\elsewhere\\quorvel.exe,3", 2},
        {"C:\\x\\notquorvel.dll,1", 2},
    };
    form();
    for (const auto& c : cases) {
        putString(HKEY_LOCAL_MACHINE, kKey, "29", c.stored);
        reload();
        EXPECT_EQ(selected(), c.choice) << c.stored;
    }
}

TEST_F(OverlayPages, AnyOtherIconIsCustom) {
    const std::string moved = "C:\\Old Place\\other.exe";
    putString(HKEY_LOCAL_MACHINE, kKey, "29", moved + ",1");
    form();
    show(10);
    EXPECT_EQ(selected(), 2);
    EXPECT_TRUE(customFrame()->Visible());
    EXPECT_EQ(path10()->Text().toStdString(), moved);
    EXPECT_EQ(idx10()->Text(), "1");
    apply();
    EXPECT_EQ(v29(), sz(moved + ",1"));

    putString(HKEY_LOCAL_MACHINE, kKey, "29", own_ + ",3");  // own file, but not an overlay choice
    reload();
    EXPECT_EQ(selected(), 2);
    putString(HKEY_LOCAL_MACHINE, kKey, "29", own_ + ",1 ");  // whole strings are compared
    reload();
    EXPECT_EQ(selected(), 2);
}

TEST_F(OverlayPages, ChoicesPreviewStoreAndShowTheCustomFrame) {
    form();
    show(10);
    const QImage bare = ctl<qv::shell::PreviewBox>("picShortcutSmallIcon")->background();
    click(choice(1));
    EXPECT_EQ(pic10().pixel(2, 27), qRgb(255, 255, 255));  // the light arrow over the folder
    EXPECT_FALSE(customFrame()->Visible());
    // A review writes nothing, neither values nor icon files.
    EXPECT_FALSE(form_->session().pendingChanges().empty());
    EXPECT_FALSE(std::filesystem::exists(ownFiles()));
    apply();
    EXPECT_EQ(v29(), sz(arrow_));
    // The files are real icons, read back as the overlays they stand for.
    for (const auto& [file, icon] : {std::pair{"LightArrow.ico", qv::shell::lightArrowIcon()},
                                     std::pair{"Blank.ico", qv::shell::emptyOverlayIcon()}}) {
        const auto read = qv::shell::extractIcon(ownFiles() / file, 0);
        ASSERT_TRUE(read.has_value()) << file;
        const qv::shell::ShellIcon& got = read->large;
        ASSERT_EQ(got.size(), icon.size()) << file;
        auto shows = [](const qv::shell::ShellIcon& i, int x, int y) {
            return i.mask.isNull() ? qAlpha(i.color.pixel(x, y)) > 0 : i.mask.pixelColor(x, y).value() == 0;
        };
        int differing = 0;
        for (int y = 0; y < icon.size().height(); ++y)
            for (int x = 0; x < icon.size().width(); ++x)
                if (shows(got, x, y) != shows(icon, x, y) ||
                    (shows(icon, x, y) && (got.color.pixel(x, y) & 0xFFFFFF) != (icon.color.pixel(x, y) & 0xFFFFFF)))
                    ++differing;
        EXPECT_EQ(differing, 0) << file;
        EXPECT_EQ(qv::shell::extractIconCount(ownFiles() / file), 1) << file;
    }

    click(choice(3));
    EXPECT_EQ(pic10(), bare);
    apply();
    EXPECT_EQ(v29(), sz(blank_));

    click(choice(2));
    EXPECT_TRUE(customFrame()->Visible());
    path10()->setText(QStringLiteral("C:\\Some Where\\x.dll"));
    idx10()->setText(QStringLiteral("007"));
    apply();
    EXPECT_EQ(v29(), sz("C:\\Some Where\\x.dll,007"));  // stored exactly as typed

    // Custom with an empty path: the empty overlay, i.e. the bare sample folder.
    click(choice(1));
    path10()->setText(QString());
    click(choice(2));
    EXPECT_EQ(pic10(), bare);
    apply();
    EXPECT_EQ(v29(), sz(",007"));

    click(choice(0));
    EXPECT_FALSE(customFrame()->Visible());
    apply();
    EXPECT_EQ(v29(), sz(""));
}

TEST_F(OverlayPages, NoSelectedChoiceWritesNothing) {
    putString(HKEY_LOCAL_MACHINE, kKey, "29", "C:\\keep.dll,4");
    form();
    for (int i = 0; i < 4; ++i)
        choice(i)->setValue(false);
    apply();
    EXPECT_EQ(v29(), sz("C:\\keep.dll,4"));
}

TEST_F(OverlayPages, IndexTextsPreviewByTheirLeadingNumberAndAreStoredAsTyped) {
    const std::string file = colourFile(16);
    putString(HKEY_LOCAL_MACHINE, kKey, "28", file + ",12abc");
    form();
    EXPECT_EQ(idx8()->Text(), "12abc");
    EXPECT_EQ(spin8()->Value(), 12);
    EXPECT_EQ(groupShown(pic8()), 12);

    show(8);
    idx8()->setText(QStringLiteral("2.5"));
    EXPECT_EQ(groupShown(pic8()), 2);  // halves go to the even neighbour
    EXPECT_EQ(spin8()->Value(), 2);
    idx8()->setText(QStringLiteral("3.5"));
    EXPECT_EQ(groupShown(pic8()), 4);
    EXPECT_EQ(idx8()->Text(), "3.5");  // the typed text stays
    idx8()->setText(QStringLiteral("xyz"));
    EXPECT_EQ(groupShown(pic8()), 0);
    EXPECT_EQ(spin8()->Value(), 0);
    idx8()->setText(QStringLiteral("99"));  // no such icon: the picture stays
    EXPECT_EQ(groupShown(pic8()), 0);
    EXPECT_EQ(spin8()->Value(), 99);
    idx8()->setText(QStringLiteral("12abc"));
    apply();
    EXPECT_EQ(v28(), sz(file + ",12abc"));
}

TEST_F(OverlayPages, TheIndexNumberRule) {
    EXPECT_EQ(IndexNumber("12abc"), 12);
    EXPECT_EQ(IndexNumber("2.5"), 2);
    EXPECT_EQ(IndexNumber("3.5"), 4);
    EXPECT_EQ(IndexNumber("-2.5"), -2);
    EXPECT_EQ(IndexNumber("007"), 7);
    EXPECT_EQ(IndexNumber(""), 0);
    EXPECT_EQ(IndexNumber("abc"), 0);
    EXPECT_EQ(IndexNumber(" 28"), 28);
    EXPECT_EQ(IndexNumber("-28"), -28);
    EXPECT_EQ(IndexNumber("2147483647"), 2147483647);
    EXPECT_THROW(IndexNumber("2147483648"), tk::ConversionError);
    EXPECT_THROW(IndexNumber("1e20"), tk::ConversionError);
}

TEST_F(OverlayPages, TheSpinAndTheIndexBoxFollowEachOther) {
    const std::string file = colourFile(10);
    putString(HKEY_LOCAL_MACHINE, kKey, "28", file + ",3");
    form();
    show(8);
    spin8()->setValue(5);  // a click on the spin
    EXPECT_EQ(idx8()->Text(), "5");
    EXPECT_EQ(groupShown(pic8()), 5);
    EXPECT_TRUE(spin8()->Tag.isEmpty());

    idx8()->setText(QStringLiteral("5x"));  // typing moves nothing and keeps the text
    EXPECT_EQ(spin8()->Value(), 5);
    EXPECT_EQ(idx8()->Text(), "5x");
    spin8()->setValue(6);  // the next click still counts
    EXPECT_EQ(idx8()->Text(), "6");
    EXPECT_EQ(groupShown(pic8()), 6);

    idx8()->setText(QStringLiteral("40000"));  // beyond the spin: the spin stays, so does the text
    EXPECT_EQ(spin8()->Value(), 6);
    EXPECT_TRUE(spin8()->Tag.isEmpty());
    spin8()->setValue(7);
    EXPECT_EQ(idx8()->Text(), "7");
    idx8()->setText(QStringLiteral("99999999999"));  // not even a 32-bit number: nothing happens
    EXPECT_EQ(spin8()->Value(), 7);
    EXPECT_EQ(groupShown(pic8()), 7);
    apply();
    EXPECT_EQ(v28(), sz(file + ",99999999999"));
}

TEST_F(OverlayPages, EmptyPathsKeepThePicture) {
    form();
    show(8);
    path8()->setText(QString::fromStdString(own_));
    idx8()->setText(QStringLiteral("1"));
    const QImage arrow = pic8();
    EXPECT_NE(arrow, bare8());
    path8()->setText(QString());
    idx8()->setText(QStringLiteral("2"));  // tried, nothing found: the arrow stays
    EXPECT_EQ(pic8(), arrow);
    apply();
    EXPECT_EQ(v28(), sz(",2"));

    show(10);
    click(choice(1));
    const QImage arrow10 = pic10();
    click(choice(2));
    path10()->setText(QString());
    idx10()->setText(QStringLiteral("0"));  // the shortcut preview ignores an empty path
    EXPECT_EQ(pic10(), arrow10);
}

TEST_F(OverlayPages, AStoredLocationWithoutACommaIsAFileAtIndexZero) {
    putString(HKEY_LOCAL_MACHINE, kKey, "28", "C:\\WINDOWS\\SYSTEM\\cool.dll");
    form();
    EXPECT_EQ(path8()->Text(), "C:\\WINDOWS\\SYSTEM\\cool.dll");
    EXPECT_EQ(idx8()->Text(), "0");
}

TEST_F(OverlayPages, BrowseTakesTheChoiceIntoTheBoxes) {
    const std::string file = colourFile(12);
    form();
    show(8);
    idx8()->setText(QStringLiteral("3.5abc"));
    {
        ChooserAnswer chooser(qv::shell::IconChoice{file, 9});
        click(cmd("cmdBrowse"));
        ASSERT_EQ(chooser.asked.size(), 1u);
        EXPECT_EQ(chooser.asked[0].path, "C:\\WINDOWS\\SYSTEM\\shell32.dll");
        EXPECT_EQ(chooser.asked[0].index, 4);
        EXPECT_EQ(chooser.asked[0].owner, &form());
    }
    EXPECT_EQ(path8()->Text().toStdString(), file);
    EXPECT_EQ(idx8()->Text(), "9");
    EXPECT_EQ(spin8()->Value(), 9);
    EXPECT_EQ(groupShown(pic8()), 9);
    {
        ChooserAnswer cancel(std::nullopt);
        click(cmd("cmdBrowse"));
        EXPECT_EQ(cancel.asked.size(), 1u);
    }
    EXPECT_EQ(path8()->Text().toStdString(), file);
    EXPECT_EQ(idx8()->Text(), "9");

    show(10);
    click(choice(2));
    {
        ChooserAnswer chooser(qv::shell::IconChoice{file, 11});
        click(cmd("cmdShortcutBrowse"));
    }
    EXPECT_EQ(groupShown(pic10()), 11);
    apply();
    EXPECT_EQ(v28(), sz(file + ",9"));
    EXPECT_EQ(v29(), sz(file + ",11"));
}

TEST_F(OverlayPages, WineShell32PicksFollowTheIndexRules) {
    if (!std::filesystem::exists(kWineShell32)) GTEST_SKIP() << kWineShell32 << " is not installed";
    form();
    show(8);
    const QString shell32 = QString::fromStdString(*qv::shell::WindowsPathOf(kWineShell32));
    path8()->setText(shell32);
    auto expected = [&](int index) {
        auto icon = qv::shell::extractIcon(kWineShell32, index);
        EXPECT_TRUE(icon);
        QImage img = bare8();
        qv::shell::drawIcon(img, 1, 1, icon->large);
        return img;
    };
    idx8()->setText(QStringLiteral("0"));  // the path box alone redraws nothing
    idx8()->setText(QStringLiteral("28"));
    EXPECT_EQ(pic8(), expected(-27));  // index 28 is the group numbered 27
    idx8()->setText(QStringLiteral("-28"));
    EXPECT_EQ(pic8(), expected(29));
    const QImage last = pic8();
    idx8()->setText(QStringLiteral("184"));  // past the end: nothing, the picture stays
    EXPECT_EQ(pic8(), last);
}

TEST_F(OverlayPages, ScriptingModeStoresExactValuesAndRefusesTheChooser) {
    form();  // seeds and opens the machine; the script opens it afresh
    form_.reset();
    ScriptResult r = runQuorvel(folder(), {"--set", "txtIconPath=C:\\A,B\\x.dll", "--set", "txtIconIdx=12abc",
                                           "--set", "optShortcutIcon(1)=1", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(v28(), sz("C:\\A,B\\x.dll,12abc"));
    EXPECT_EQ(v29(), sz(arrow_));
    EXPECT_TRUE(std::filesystem::exists(ownFiles() / "LightArrow.ico"));

    // Read back, the first comma splits: the path box gets "C:\A".
    r = runQuorvel(folder(), {"--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("txtIconPath=C:\\A\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("txtIconIdx=B\\x.dll,12abc\n"), std::string::npos);
    EXPECT_NE(r.out.find("optShortcutIcon(1)=1\n"), std::string::npos);

    r = runQuorvel(folder(), {"--set", "optShortcutIcon(2)=1", "--set", "txtShortcutIconPath=C:\\y.ico",
                              "--set", "VScrollShortcut=-3", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(v29(), sz("C:\\y.ico,-3"));
    r = runQuorvel(folder(), {"--set", "optShortcutIcon(0)=1", "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(v29(), sz(""));

    r = runQuorvel(folder(), {"--click", "cmdBrowse"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("change-icon chooser"), std::string::npos) << r.err;
    r = runQuorvel(folder(), {"--set", "optShortcutIcon(2)=1", "--click", "cmdShortcutBrowse"});
    EXPECT_EQ(r.status, 2);
    r = runQuorvel(folder(), {"--set", "txtShortcutIconIdx=1"});  // hidden unless "Custom"
    EXPECT_EQ(r.status, 2);
}

TEST_F(OverlayPages, GrabbedPreviewShowsTheArrowOverTheFolder) {
    form();
    form_.reset();
    const std::string png = (dir_.path() / "pic.png").string();
    const ScriptResult r = runQuorvel(folder(), {"--set", "optShortcutIcon(1)=1", "--grab",
                                                 QString::fromStdString("picShortcutSmallIcon=" + png)});
    ASSERT_EQ(r.status, 0) << r.err;
    QImage img(QString::fromStdString(png));
    ASSERT_FALSE(img.isNull());
    img = img.scaled(40, 40).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(img.pixel(2, 27), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(3, 27), qRgb(128, 128, 128));
}
