// The change-icon chooser: listing a file's icons in index order, choosing one, files without
// icons, typed and browsed paths.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "registry/machines/machine.h"
#include "shell/changeicon.h"
#include "shell/directories.h"
#include "shell/ownicons.h"
#include "shell/paths.h"
#include "colour_icons.h"
#include "widget_app.h"

namespace fs = std::filesystem;
using namespace qv::shell;
using namespace icontest;

namespace {

class ChangeIcon : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qvtest::widgetsAvailable()) GTEST_SKIP() << "no QApplication";
        dir_ = fs::temp_directory_path() / ("qv-changeicon-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        machine_ = qv::reg::Machine::openOwn(dir_);
        setCurrentMachine(machine_.get());
        QImage folder(32, 32, QImage::Format_ARGB32);
        folder.fill(qRgb(0, 0, 128));
        setApplicationIconImages(folder, QImage());
    }
    void TearDown() override {
        setIconFileHook({});
        setChangeIconHook({});
        setCurrentMachine(nullptr);
        machine_.reset();
        fs::remove_all(dir_);
    }
    fs::path hostOnC(const std::string& relative, const std::string& bytes) {
        const fs::path host = dir_ / "drive_c" / relative;
        fs::create_directories(host.parent_path());
        std::ofstream(host, std::ios::binary) << bytes;
        return host;
    }
    std::string onC(const std::string& relative, const std::string& bytes) {
        return *WindowsPathOf(hostOnC(relative, bytes));
    }
    std::string colours(int n) { return colourIconsPe(n); }
    fs::path dir_;
    std::unique_ptr<qv::reg::Machine> machine_;
};

}  // namespace

TEST_F(ChangeIcon, ListsTheOwnIconsAndAnswersWithPathAndPosition) {
    const std::string own = OwnExecutablePath();
    ChangeIconDialog dlg({nullptr, own, 1});
    EXPECT_EQ(dlg.iconList()->count(), kOwnIconCount);
    EXPECT_EQ(dlg.iconList()->currentRow(), 1);
    EXPECT_FALSE(dlg.notice()->isVisibleTo(&dlg));
    dlg.iconList()->setCurrentRow(2);
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.choice(), (IconChoice{own, 2}));
}

TEST_F(ChangeIcon, AFileWithoutIconsSaysSoAndCannotBeChosen) {
    const std::string text = onC("readme.txt", "no icons here");
    ChangeIconDialog dlg({nullptr, text, 0});
    EXPECT_EQ(dlg.iconList()->count(), 0);
    EXPECT_TRUE(dlg.notice()->isVisibleTo(&dlg));
    EXPECT_TRUE(dlg.notice()->text().contains(QStringLiteral("contains no icons")));
    dlg.accept();
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.choice());

    ChangeIconDialog missing({nullptr, "C:\\nowhere\\gone.dll", 0});
    EXPECT_EQ(missing.iconList()->count(), 0);
    EXPECT_TRUE(missing.notice()->text().contains(QStringLiteral("cannot be found")));
}

TEST_F(ChangeIcon, ATypedPathIsListedBeforeOkChoosesFromIt) {
    const std::string many = onC("Many.dll", colours(5));
    ChangeIconDialog dlg({nullptr, OwnExecutablePath(), 0});
    dlg.pathBox()->setText(QString::fromStdString(many));
    dlg.accept();  // lists the new file instead of answering with an icon of the old one
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.iconList()->count(), 5);
    dlg.iconList()->setCurrentRow(4);
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.choice(), (IconChoice{many, 4}));
}

TEST_F(ChangeIcon, PreselectsByPositionOrByNumberAndFallsBackToTheFirst) {
    const std::string many = onC("Many.dll", colours(5));
    EXPECT_EQ(ChangeIconDialog({nullptr, many, 3}).iconList()->currentRow(), 3);
    EXPECT_EQ(ChangeIconDialog({nullptr, many, -104}).iconList()->currentRow(), 3);  // id 104
    EXPECT_EQ(ChangeIconDialog({nullptr, many, 9}).iconList()->currentRow(), 0);
    EXPECT_EQ(ChangeIconDialog({nullptr, many, -7}).iconList()->currentRow(), 0);
}

TEST_F(ChangeIcon, BrowseStoresTheChosenHostFileAsAWindowsPath) {
    const fs::path host = hostOnC("Icons/Two.dll", colours(2));
    std::optional<fs::path> asked;
    setIconFileHook([&](const std::optional<fs::path>& start) {
        asked = start;
        return std::optional<fs::path>(host);
    });
    ChangeIconDialog dlg({nullptr, *WindowsPathOf(dir_ / "drive_c" / "Icons"), 0});
    dlg.browseForFile();
    EXPECT_EQ(asked, dir_ / "drive_c" / "Icons");
    EXPECT_EQ(dlg.pathBox()->text().toStdString(), "C:\\Icons\\Two.dll");
    EXPECT_EQ(dlg.iconList()->count(), 2);
    dlg.accept();
    EXPECT_EQ(dlg.choice(), (IconChoice{"C:\\Icons\\Two.dll", 0}));

    setIconFileHook([](const std::optional<fs::path>&) { return std::optional<fs::path>(); });
    dlg.pathBox()->setText(QStringLiteral("C:\\kept.dll"));
    dlg.browseForFile();  // Cancel in the file dialog changes nothing
    EXPECT_EQ(dlg.pathBox()->text(), QStringLiteral("C:\\kept.dll"));
}

TEST_F(ChangeIcon, WineShell32ListsEveryGroupInStoredOrder) {
    const fs::path shell32 = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll";
    if (!fs::exists(shell32)) GTEST_SKIP() << shell32 << " is not installed";
    ChangeIconDialog dlg({nullptr, *WindowsPathOf(shell32), -28});
    EXPECT_EQ(dlg.iconList()->count(), 184);
    EXPECT_EQ(dlg.iconList()->currentRow(), 29);  // id 28 is the 30th group
    int drawn = 0;
    for (int i = 0; i < dlg.iconList()->count(); ++i)
        drawn += !dlg.iconList()->item(i)->icon().isNull();
    EXPECT_EQ(drawn, 184);
}
