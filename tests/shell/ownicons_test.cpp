// The program's own icons, the icon locations that name them or host files, and the preview box.
#include <QColor>
#include <QDir>
#include <QImage>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "registry/machines/machine.h"
#include "shell/directories.h"
#include "shell/iconselector.h"
#include "shell/ownicons.h"
#include "shell/paths.h"
#include "icon_files.h"
#include "widget_app.h"

namespace fs = std::filesystem;
using namespace qv::shell;

static ::testing::Environment* const g_widgetApp = ::testing::AddGlobalTestEnvironment(new qvtest::WidgetApp);

namespace {

const fs::path kWineShell32 = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll";

// A 32x32 "folder": blue square with a transparent border of 4 pixels; 16x16 likewise.
QImage sampleFolder(int side) {
    QImage img(side, side, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    for (int y = side / 8; y < side - side / 8; ++y)
        for (int x = side / 8; x < side - side / 8; ++x)
            img.setPixel(x, y, qRgb(0, 0, 128));
    return img;
}

QImage drawnOver(const ShellIcon& icon, QRgb back) {
    QImage img(icon.size(), QImage::Format_RGB32);
    img.fill(back);
    drawIcon(img, 0, 0, icon);
    return img;
}

class OwnIcons : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qvtest::widgetsAvailable());
        dir_ = fs::temp_directory_path() / ("qv-ownicons-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        machine_ = qv::reg::Machine::openOwn(dir_);
        setCurrentMachine(machine_.get());
        setApplicationIconImages(sampleFolder(32), sampleFolder(16));
    }
    void TearDown() override {
        setCurrentMachine(nullptr);
        machine_.reset();
        fs::remove_all(dir_);
    }
    // A file on the machine's C: drive.
    std::string putOnC(const std::string& relative, const std::string& bytes) {
        const fs::path host = dir_ / "drive_c" / relative;
        fs::create_directories(host.parent_path());
        std::ofstream(host, std::ios::binary) << bytes;
        return *WindowsPathOf(host);
    }
    fs::path dir_;
    std::unique_ptr<qv::reg::Machine> machine_;
};

}  // namespace

TEST(IconLocationText, SplitsAtTheFirstCommaAndJoinsAsTyped) {
    IconLocation l = SplitIconLocation("C:\\A,B\\x.dll,3");
    EXPECT_EQ(l.path, "C:\\A");
    EXPECT_EQ(l.indexText, "B\\x.dll,3");
    EXPECT_TRUE(l.hadComma);

    l = SplitIconLocation(" C:\\x.dll , 12abc ");  // nothing is trimmed
    EXPECT_EQ(l.path, " C:\\x.dll ");
    EXPECT_EQ(l.indexText, " 12abc ");

    l = SplitIconLocation(",");
    EXPECT_EQ(l.path, "");
    EXPECT_EQ(l.indexText, "");
    EXPECT_TRUE(l.hadComma);

    // No comma: the whole text is the file, with the shell's index 0.
    l = SplitIconLocation("C:\\WINDOWS\\SYSTEM\\shell32.dll");
    EXPECT_EQ(l.path, "C:\\WINDOWS\\SYSTEM\\shell32.dll");
    EXPECT_EQ(l.indexText, "0");
    EXPECT_FALSE(l.hadComma);

    EXPECT_EQ(JoinIconLocation("C:\\x.dll", "007"), "C:\\x.dll,007");
    EXPECT_EQ(JoinIconLocation("", "0"), ",0");
    const std::string stored = "C:\\A,B\\x.dll,3";
    l = SplitIconLocation(stored);
    EXPECT_EQ(JoinIconLocation(l.path, l.indexText), stored);
}

TEST_F(OwnIcons, LightArrowIsExactlyTheTable) {
    const char* const rows[] = {".WGGG", "..WGG", ".WGWG", "WGW.W", "WGW..", "S.S.."};
    const QRgb back = qRgb(255, 0, 255);
    const std::optional<ExtractedIcon> arrow = ownIcon(1);
    ASSERT_TRUE(arrow);
    ASSERT_EQ(arrow->large.size(), QSize(32, 32));
    EXPECT_EQ(arrow->small.size(), QSize(16, 16));
    const QImage img = drawnOver(arrow->large, back);
    int shown = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            QRgb want = back;
            if (y >= 26 && x < 5) {
                switch (rows[y - 26][x]) {
                case 'W': want = qRgb(255, 255, 255); break;
                case 'G': want = qRgb(128, 128, 128); break;
                case 'S': want = qRgb(192, 192, 192); break;
                default: break;
                }
            }
            shown += want != back;
            ASSERT_EQ(img.pixel(x, y) & 0xFFFFFF, want & 0xFFFFFF) << x << "," << y;
        }
    }
    EXPECT_EQ(shown, 20);
}

TEST_F(OwnIcons, EmptyOverlayAndTheApplicationIconByPositionAndId) {
    const QRgb back = qRgb(12, 34, 56);
    const std::optional<ExtractedIcon> empty = ownIcon(2);
    ASSERT_TRUE(empty);
    QImage plain(32, 32, QImage::Format_RGB32);
    plain.fill(back);
    EXPECT_EQ(drawnOver(empty->large, back), plain);

    const auto app = ownIcon(0), again = ownIcon(3), byId = ownIcon(-1);
    ASSERT_TRUE(app && again && byId);
    EXPECT_EQ(app->large.color, again->large.color);
    EXPECT_EQ(app->large.color, byId->large.color);
    EXPECT_EQ(app->small.size(), QSize(16, 16));
    // The picture's transparent border lets the background through; its inside covers it.
    const QImage drawn = drawnOver(app->large, back);
    EXPECT_EQ(drawn.pixel(0, 0) & 0xFFFFFF, back & 0xFFFFFF);
    EXPECT_EQ(drawn.pixel(16, 16) & 0xFFFFFF, qRgb(0, 0, 128) & 0xFFFFFF);

    EXPECT_FALSE(ownIcon(4));
    EXPECT_FALSE(ownIcon(-2));  // only the folder carries a number
    EXPECT_FALSE(ownIcon(-3));
}

TEST_F(OwnIcons, OwnPathIsTheProgramFolderOnTheMachineMatchedWithoutCase) {
    const std::string own = OwnExecutablePath();
    const std::string folder = *WindowsPathOf(fs::path(QDir(QCoreApplication::applicationDirPath()).absolutePath().toStdString()));
    EXPECT_EQ(own, folder + "\\shell_tests.exe");
    EXPECT_EQ(own.substr(0, 3), "Z:\\");  // an own machine reaches the host's files on Z:

    std::string upper = own, lower = own;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(isOwnExecutable(upper));
    EXPECT_TRUE(isOwnExecutable(lower));
    EXPECT_EQ(iconCountAt(upper), kOwnIconCount);
    const auto arrow = extractIconAt(upper, 1);
    ASSERT_TRUE(arrow);
    EXPECT_EQ(arrow->large.color, lightArrowIcon().color);

    // The same name in another folder is a file like any other (here: a missing one).
    const std::string moved = "C:\\Program Files\\shell_tests.exe";
    EXPECT_FALSE(isOwnExecutable(moved));
    EXPECT_FALSE(extractIconAt(moved, 1));
    EXPECT_EQ(iconCountAt(moved), 0);
    EXPECT_FALSE(isOwnExecutable(own + " "));
}

TEST_F(OwnIcons, OtherLocationsAreReadThroughTheDriveLetters) {
    using namespace icontest;
    const std::string ico = putOnC("Icons/Red.ico", icoFile({{solidDib(32, 32, 0xFFFF0000)}}));
    std::string shouted = ico;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto icon = extractIconAt(shouted, 0);  // Windows names ignore case
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->large.color.pixel(5, 5), 0xFFFF0000u);
    EXPECT_EQ(iconCountAt(ico), 1);

    EXPECT_FALSE(extractIconAt("", 0));
    EXPECT_FALSE(extractIconAt("Q:\\nothing.ico", 0));  // no such drive
    EXPECT_FALSE(extractIconAt("icons\\red.ico", 0));   // no drive at all
    EXPECT_FALSE(extractIconAt(putOnC("note.txt", "plain text"), 0));
    EXPECT_EQ(iconCountAt("Q:\\nothing.ico"), 0);
}

TEST_F(OwnIcons, PreviewDrawsAtOneOneOverTheSampleAndKeepsItsPictureOnFailure) {
    PreviewBox box(nullptr, "picTest");
    const QColor face(192, 192, 192);
    const auto sample = ownIcon(0);
    ASSERT_TRUE(sample);
    box.setBackground(sample->large, face);
    const QImage bare = box.image();
    ASSERT_EQ(bare.size(), QSize(kPreviewSide, kPreviewSide));
    EXPECT_EQ(bare.pixel(0, 0), face.rgb());               // the folder's transparent corner
    EXPECT_EQ(bare.pixel(16, 16), qRgb(0, 0, 128));        // the folder itself, at (0,0)
    EXPECT_EQ(bare.pixel(35, 35), face.rgb());

    const std::string own = OwnExecutablePath();
    ASSERT_TRUE(previewIconInto(box, own, 1));
    const QImage arrow = box.image();
    EXPECT_EQ(arrow.pixel(1 + 1, 1 + 26), qRgb(255, 255, 255));  // table (26, 1) at (1,1)
    EXPECT_EQ(arrow.pixel(1 + 0, 1 + 31), qRgb(192, 192, 192));
    EXPECT_EQ(arrow.pixel(1 + 2, 1 + 28), qRgb(128, 128, 128));
    EXPECT_EQ(arrow.pixel(1 + 0, 1 + 26), bare.pixel(1, 27));  // transparent: the sample shows
    EXPECT_EQ(arrow.pixel(20, 10), bare.pixel(20, 10));

    EXPECT_FALSE(previewIconInto(box, "C:\\missing.dll", 0));
    EXPECT_FALSE(previewIconInto(box, own, 7));
    EXPECT_FALSE(previewIconInto(box, "", 0));
    EXPECT_EQ(box.image(), arrow);  // every failure keeps the picture

    ASSERT_TRUE(previewIconInto(box, own, 2));
    EXPECT_EQ(box.image(), bare);  // the empty overlay: the bare sample folder
    EXPECT_EQ(box.pixmap().toImage().convertToFormat(QImage::Format_RGB32), bare);
}

TEST_F(OwnIcons, WineShell32IndexPicksThroughTheMachine) {
    if (!fs::exists(kWineShell32)) GTEST_SKIP() << kWineShell32 << " is not installed";
    const std::string path = *WindowsPathOf(kWineShell32);
    EXPECT_EQ(iconCountAt(path), 184);
    const auto bytes = readIconFile(kWineShell32);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(iconGroup(*bytes, 28)->id, 27);
    // Index 28 is the group numbered 27; -28 the group numbered 28, which is index 29.
    const auto at28 = extractIconAt(path, 28), id27 = extractIconAt(path, -27);
    const auto at29 = extractIconAt(path, 29), id28 = extractIconAt(path, -28);
    ASSERT_TRUE(at28 && id27 && at29 && id28);
    EXPECT_EQ(at28->large.color, id27->large.color);
    EXPECT_EQ(at29->large.color, id28->large.color);
    EXPECT_NE(at28->large.color, at29->large.color);
    EXPECT_FALSE(extractIconAt(path, 184));
    EXPECT_TRUE(extractIconAt(path, 183));
}
