// The folder browser: preselection, the Windows path of the chosen folder, Cancel, and the
// setup-path page's "..." button that uses it.
#include <QApplication>
#include <QFileDialog>
#include <QTimer>
#include <QUrl>
#include <fstream>

#include "app_support.h"
#include "pages/system/system_settings.h"
#include "shell/folderbrowser.h"
#include "system_support.h"

using namespace qvtest;
namespace reg = qv::reg;
namespace shell = qv::shell;

namespace {

// Answers the chooser and keeps what it was asked.
class Chooser {
public:
    explicit Chooser(std::optional<fs::path> answer) : answer(std::move(answer)) {
        shell::setFolderChooserHook([this](const shell::FolderRequest& r) {
            asked.push_back(r);
            return this->answer;
        });
    }
    ~Chooser() { shell::setFolderChooserHook({}); }
    std::optional<fs::path> answer;
    std::vector<shell::FolderRequest> asked;
};

class FolderBrowser : public PageTest {
protected:
    fs::path driveC() const { return folder() / "drive_c"; }
};

}  // namespace

TEST_F(FolderBrowser, PreselectsTheMappedFolderAndAnswersWithItsWindowsPathOrNothing) {
    qv::frmMain& f = form();
    const fs::path windows = driveC() / "WINDOWS";
    Chooser chooser(windows);
    // Windows paths ignore case; the host folder is found as it is spelled on disk.
    EXPECT_EQ(f.BrowseForFolderByPath("c:\\windows"), "C:\\WINDOWS");
    EXPECT_EQ(chooser.asked[0].owner, &f);
    EXPECT_EQ(chooser.asked[0].title, shell::kBrowseByPathTitle);
    EXPECT_EQ(chooser.asked[0].preselect, windows);
    EXPECT_EQ(f.BrowseForFolderByPIDL("C:\\WINDOWS"), "C:\\WINDOWS");
    EXPECT_EQ(chooser.asked[1].title, shell::kBrowseByPIDLTitle);
    EXPECT_EQ(chooser.asked[1].preselect, fs::canonical(windows));
    // Nothing to preselect; a missing folder only as a string (no identifier list exists for it).
    f.BrowseForFolderByPath("");
    f.BrowseForFolderByPath("C:\\NOWHERE");
    f.BrowseForFolderByPIDL("C:\\NOWHERE");
    ASSERT_EQ(chooser.asked.size(), 5u);
    EXPECT_EQ(chooser.asked[2].preselect, std::nullopt);
    EXPECT_EQ(chooser.asked[3].preselect, driveC() / "NOWHERE");
    EXPECT_EQ(chooser.asked[4].preselect, std::nullopt);

    chooser.answer.reset();  // Cancel
    EXPECT_EQ(f.BrowseForFolderByPath("C:\\WINDOWS"), "");
    EXPECT_EQ(f.BrowseForFolderByPIDL("C:\\WINDOWS"), "");
}

TEST_F(FolderBrowser, LongPathsComeBackWhole) {
    qv::frmMain& f = form();
    fs::path host = driveC();
    std::string windows = "C:";
    while (windows.size() < 259) {
        const std::string part(std::min<size_t>(16, 259 - windows.size() - 1), 'd');
        host /= part;
        windows += "\\" + part;
    }
    fs::create_directories(host / std::string(40, 'f'));
    Chooser chooser(host);
    EXPECT_EQ(f.BrowseForFolderByPath(QString::fromStdString(windows)).toStdString(), windows);
    chooser.answer = host / std::string(40, 'f');
    EXPECT_EQ(f.BrowseForFolderByPath("").toStdString(), windows + "\\" + std::string(40, 'f'));
}

TEST_F(FolderBrowser, AFolderNoDriveLetterReachesGivesNothing) {
    const fs::path prefix = dir_.path() / "prefix";  // a Wine prefix with a C: and no Z:
    fs::create_directories(prefix / "dosdevices");
    fs::create_directories(prefix / "drive_c" / "windows");
    fs::create_directory_symlink("../drive_c", prefix / "dosdevices" / "c:");
    for (const char* file : {"system.reg", "user.reg"})
        fs::copy_file(folder() / file, prefix / file);
    auto m = reg::Machine::openWinePrefix(prefix);
    qv::frmMain f(*m);
    Chooser chooser(dir_.path());
    EXPECT_EQ(f.BrowseForFolderByPath("C:\\windows"), "");
    chooser.answer = prefix / "drive_c" / "windows";
    EXPECT_EQ(f.BrowseForFolderByPath("C:\\windows"), "C:\\windows");
}

TEST_F(FolderBrowser, TheRealChooserOpensWithTheFolderSelected) {
    qv::frmMain& f = form();
    QString title, selected;
    auto answer = [&](bool ok) {
        title.clear();
        QTimer::singleShot(0, [&, ok] {
            if (auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                title = dlg->windowTitle();
                selected = dlg->selectedFiles().value(0);
                QMetaObject::invokeMethod(dlg, ok ? "accept" : "reject");  // as OK and Cancel do
            }
        });
    };
    answer(true);
    EXPECT_EQ(f.BrowseForFolderByPath("C:\\WINDOWS"), "C:\\WINDOWS");
    EXPECT_EQ(title, shell::kBrowseByPathTitle);
    EXPECT_EQ(fs::path(selected.toStdString()), fs::canonical(driveC() / "WINDOWS"));
    answer(false);
    EXPECT_EQ(f.BrowseForFolderByPIDL("C:\\WINDOWS"), "");
    EXPECT_EQ(title, shell::kBrowseByPIDLTitle);
}

TEST_F(FolderBrowser, SetupPathButtonFillsTheTextBoxButWritesNothingUntilApply) {
    fs::create_directories(driveC() / "WINDOWS" / "OPTIONS" / "CABS");
    fs::create_directories(driveC() / "Install");
    ASSERT_EQ(value("txtCabFilePath"), "C:\\WINDOWS\\OPTIONS\\CABS");
    Chooser chooser(driveC() / "Install");
    click("cmdCabFilePathBrowse");
    ASSERT_EQ(chooser.asked.size(), 1u);
    EXPECT_EQ(chooser.asked[0].preselect, driveC() / "WINDOWS" / "OPTIONS" / "CABS");
    EXPECT_EQ(value("txtCabFilePath"), "C:\\Install");
    EXPECT_EQ(onDisk(reg::HKEY_LOCAL_MACHINE, qv::pages::kSetupKey, "SourcePath"), sz("C:\\WINDOWS\\OPTIONS\\CABS"));
    chooser.answer.reset();
    click("cmdCabFilePathBrowse");
    EXPECT_EQ(value("txtCabFilePath"), "C:\\Install");
    apply();
    EXPECT_EQ(onDisk(reg::HKEY_LOCAL_MACHINE, qv::pages::kSetupKey, "SourcePath"), sz("C:\\Install"));
}

TEST_F(FolderBrowser, FileAndFolderDialogsOpenInTheMachineWithItsDrivesAsPlaces) {
    form();  // sets the machine the dialogs show
    const fs::path windows = driveC() / "WINDOWS";
    fs::create_directories(windows);
    { std::ofstream(windows / "icons.dll") << "MZ"; }
    struct Case { std::optional<fs::path> start; fs::path folder; QString selected; };
    const Case cases[] = {{std::nullopt, driveC(), ""},
                          {windows, windows, ""},
                          {windows / "icons.dll", windows, "icons.dll"},
                          {windows / "gone.dll", windows, ""},   // the value's folder still exists
                          {driveC() / "no/such/file.dll", driveC(), ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start ? c.start->string() : "none");
        QFileDialog dlg;
        shell::showMachineIn(dlg, c.start);
        EXPECT_EQ(fs::canonical(dlg.directory().absolutePath().toStdString()), fs::canonical(c.folder));
        EXPECT_TRUE(dlg.filter() & QDir::Hidden);
        EXPECT_TRUE(dlg.sidebarUrls().contains(QUrl::fromLocalFile(QString::fromStdString(fs::canonical(driveC()).string()))));
        if (!c.selected.isEmpty()) {
            ASSERT_FALSE(dlg.selectedFiles().isEmpty());
            EXPECT_TRUE(dlg.selectedFiles().first().endsWith(c.selected));
        }
    }
}
