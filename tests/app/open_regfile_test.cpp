// A .reg file opened as a document: from the command line, the File menu or a drop on the window,
// its changes become pending and show in the pages; nothing is written until Apply.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <fstream>

#include "app/controls.h"
#include "app/script.h"
#include "app_support.h"

namespace {

namespace fs = std::filesystem;

class OpenRegFile : public qvtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        qv::tk::setInteractive(false);  // the review is noted as refused, not shown
    }
    void TearDown() override {
        qv::tk::setInteractive(true);
        qv::tk::takeRefusedDialogs();
        WindowTest::TearDown();
    }
    fs::path write(const std::string& name, const std::string& text) {
        const fs::path p = dir_.path() / name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    QString delay() { return qv::ctl::valueOf(qv::ctl::findControl(form(), QStringLiteral("sldMenuShowDelay"))); }
};

constexpr const char* kFix = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=\"150\"\n";

TEST_F(OpenRegFile, ChangesBecomePendingAndShowBeforeAnythingIsWritten) {
    const std::string before = qvtest::fileBytes(dir_.path() / "machine" / "user.reg");
    qvtest::MessageBoxes boxes;
    const fs::path file = write("fix.reg", kFix);
    ASSERT_TRUE(form().openRegistryFile(file));
    EXPECT_EQ(delay(), QStringLiteral("150"));
    EXPECT_TRUE(form().machine().hasChanges());
    EXPECT_EQ(qvtest::fileBytes(dir_.path() / "machine" / "user.reg"), before);
    // The review was what came next.
    EXPECT_TRUE(qv::tk::takeRefusedDialogs().contains(QStringLiteral("the review of changes")));
}

TEST_F(OpenRegFile, AFileThatIsNoRegFileIsToldWithItsLineAndChangesNothing) {
    qvtest::MessageBoxes boxes;
    const fs::path file = write("bad.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"MenuShowDelay\"=dword:zz\n");
    EXPECT_FALSE(form().openRegistryFile(file));
    ASSERT_FALSE(boxes.asked.empty());
    EXPECT_TRUE(boxes.asked.back().text.contains(QStringLiteral("bad.reg:4"))) << boxes.asked.back().text.toStdString();
    EXPECT_FALSE(form().machine().hasChanges());
}

TEST_F(OpenRegFile, ADroppedRegFileOpensAsFromTheMenu) {
    qvtest::MessageBoxes boxes;
    const fs::path file = write("dropped.reg", kFix);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form(), &drop);
    EXPECT_TRUE(qvtest::waitUntil([&] { return delay() == QStringLiteral("150"); }));
}

TEST(OpenRegFileArgs, AFileAloneOpensTheWindowAndScriptsUseImport) {
    const qv::cli::Options o = qv::cli::parse({QStringLiteral("fix.reg")});
    ASSERT_TRUE(o.openFile.has_value());
    EXPECT_EQ(*o.openFile, fs::path("fix.reg"));
    EXPECT_FALSE(o.scripting());
    EXPECT_THROW(qv::cli::parse({QStringLiteral("fix.reg"), QStringLiteral("--apply")}), qv::ctl::UsageError);
    EXPECT_THROW(qv::cli::parse({QStringLiteral("a.reg"), QStringLiteral("b.reg")}), qv::ctl::UsageError);
}

}  // namespace
