// The command line and scripting mode: the window driven by name, its listing and exit codes.
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTreeWidget>
#include <sstream>

#include "app/controls.h"
#include "app/nodes.h"
#include "app/script.h"
#include "app_support.h"

using namespace qvtest;
namespace cli = qv::cli;
namespace ctl = qv::ctl;

namespace {

ScriptRun run(const QStringList& args) { return runScript(args); }

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

}  // namespace

TEST(CommandLine, ParsesActionsInOrderAndRefusesWhatItDoesNotKnow) {
    const cli::Options o = cli::parse({"--machine", "/m", "--set", "lvNewMenu[a=b]=1", "--click=cmdApply",
                                       "--grab", "frmMain=/tmp/x.png", "--apply", "--list"});
    EXPECT_EQ(*o.machine, "/m");
    ASSERT_EQ(o.actions.size(), 5u);
    EXPECT_EQ(o.actions[0].kind, cli::Action::Set);
    EXPECT_EQ(o.actions[0].name, "lvNewMenu[a=b]");
    EXPECT_EQ(o.actions[0].value, "1");
    EXPECT_EQ(o.actions[1].name, "cmdApply");
    EXPECT_EQ(o.actions[2].value, "/tmp/x.png");
    EXPECT_EQ(o.actions[4].kind, cli::Action::List);
    EXPECT_TRUE(cli::parse({"--json"}).scripting());
    EXPECT_FALSE(cli::parse({"--version"}).scripting());

    EXPECT_THROW(cli::parse({"--frobnicate"}), ctl::UsageError);
    EXPECT_THROW(cli::parse({"--set"}), ctl::UsageError);
    EXPECT_THROW(cli::parse({"--set", "novalue"}), ctl::UsageError);
    EXPECT_THROW(cli::parse({"--grab", "frmMain="}), ctl::UsageError);
    EXPECT_THROW(cli::parse({"--machine", "a", "--wine-prefix", "b"}), ctl::UsageError);
}

TEST(Scripting, ListsEveryControlOfAFreshMachineInNodeOrder) {
    TempDir dir;
    const ScriptRun r = run({"--machine", QString::fromStdString((dir.path() / "fresh").string()), "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "fresh" / "system.reg"));
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line))
        names.push_back(line);
    auto pos = [&](const std::string& l) {
        return std::find(names.begin(), names.end(), l) - names.begin();
    };
    EXPECT_LT(pos("frmMain=Quorvel - fresh"), pos("cmdOK=&OK"));
    EXPECT_LT(pos("tvList=Root"), pos("fraOption(1)=Quorvel"));
    for (int i = 1; i < 33; ++i)
        EXPECT_LT(pos("fraOption(" + std::to_string(i) + ")=" + qv::kNodes[i - 1].text),
                  pos("fraOption(" + std::to_string(i + 1) + ")=" + qv::kNodes[i].text)) << i;
    EXPECT_LT(pos("fraOption(33)=Task Manager"), static_cast<long>(names.size()));
    EXPECT_NE(pos("lblLabel=" + qv::tk::LoadResString(9).toStdString()), static_cast<long>(names.size()));
}

TEST(Scripting, JsonCarriesTheSameControlsWithTheirState) {
    TempDir dir;
    const QString m = QString::fromStdString((dir.path() / "m").string());
    const ScriptRun plain = run({"--machine", m, "--list"});
    const ScriptRun json = run({"--machine", m, "--set", "tvList=System$TaskManager", "--list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
    const QJsonArray arr = doc.array();
    EXPECT_EQ(arr.size(), lines(plain.out));
    bool sawFrame = false;
    for (const QJsonValue& v : arr) {
        const QJsonObject o = v.toObject();
        for (const char* field : {"name", "page", "kind", "value", "enabled", "visible"})
            EXPECT_TRUE(o.contains(field)) << field;
        if (o["name"] == "fraOption(33)") {
            sawFrame = true;
            EXPECT_EQ(o["kind"], "frame");
            EXPECT_EQ(o["page"], 33);
            EXPECT_EQ(o["value"], "Task Manager");
            EXPECT_EQ(o["visible"], true);
        }
        if (o["name"] == "fraOption(1)" || o["name"] == "mnuHideDrivesResource") {
            EXPECT_EQ(o["visible"], false);
        }
    }
    EXPECT_TRUE(sawFrame);
}

TEST(Scripting, UsageErrorsExitTwoWithOneLine) {
    TempDir dir;
    const QString m = QString::fromStdString((dir.path() / "m").string());
    for (const QStringList& args : {QStringList{"--set", "nosuch=1"},
                                    QStringList{"--set", "tvList=Nowhere"},
                                    QStringList{"--set", "fraOption(3)=Renamed"},
                                    QStringList{"--set", "cmdOK=1"},
                                    QStringList{"--click", "fraOption(2)"},
                                    QStringList{"--click", "mnuHelpAbout"},
                                    QStringList{"--click", "cmdHelp"},
                                    QStringList{"--grab", "nosuch=/tmp/x.png"}}) {
        const ScriptRun r = run(QStringList{"--machine", m} + args);
        EXPECT_EQ(r.status, 2) << args.join(' ').toStdString();
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_EQ(r.err.rfind("quorvel: ", 0), 0u) << r.err;
    }
}

TEST(Scripting, MachineFailuresExitOne) {
    TempDir dir;
    const ScriptRun r = run({"--wine-prefix", QString::fromStdString((dir.path() / "absent").string()), "--list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty());
}

TEST(Scripting, MessageBoxesPrintAndQuitAnswersWithItsDefault) {
    TempDir dir;
    const QString m = QString::fromStdString((dir.path() / "m").string());
    const ScriptRun r = run({"--machine", m, "--click", "mnuFileQuit", "--list"});
    EXPECT_EQ(r.out.rfind("Save changes before exiting?\n", 0), 0u) << r.out;
    // Yes saved and closed the window; nothing can run after that.
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("closed"), std::string::npos) << r.err;
}

TEST(Scripting, GrabDrawsTheWindowAndApplyWritesTheMachine) {
    TempDir dir;
    const QString m = QString::fromStdString((dir.path() / "m").string());
    const QString png = QString::fromStdString((dir.path() / "w.png").string());
    const ScriptRun r = run({"--machine", m, "--set", "tvList=16", "--grab", "frmMain=" + png, "--apply"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QImage img(png);
    EXPECT_GE(img.width(), 602);
    EXPECT_GE(img.height(), 386);
}

// Controls as pages declare them, driven through the same names as a script would use.
TEST_F(WindowTest, ControlsAreSetAsAUserWouldAfterTheirPageIsShown) {
    qv::frmMain& f = form();
    auto* chk = new qv::tk::CheckBox("&Animate Windows", f.fraOption(24), "chkStandIn");
    auto* sld = new qv::tk::Slider(f.fraOption(26), "sldStandIn");
    sld->setLimits(0, 65534, 100, 3500, 3500);
    auto* lst = new qv::tk::CheckListBox(f.fraOption(16), "lstStandIn");
    for (char c = 'A'; c <= 'D'; ++c)
        lst->AddItem(QString(QChar(c)) + ":");
    auto* lv = new qv::tk::CheckListView(f.fraOption(17), "lvStandIn");
    lv->Add(".txt\\ShellNew", "Text Document");
    auto* txt = new qv::tk::TextBox("command.com", f.fraOption(5), "txtStandIn");
    txt->setEnabled(false);
    int clicks = 0;
    QObject::connect(chk, &qv::tk::CheckBox::Click, [&] { ++clicks; });

    ctl::setControl(f, ctl::findControl(f, "chkStandIn"), "1");
    EXPECT_EQ(f.iCurrentOption, 24);
    EXPECT_EQ(f.tvList->currentItem(), f.nodeItem(24));
    EXPECT_EQ(chk->Value(), 1);
    EXPECT_EQ(clicks, 1);
    EXPECT_THROW(ctl::setControl(f, ctl::findControl(f, "chkStandIn"), "3"), ctl::UsageError);

    ctl::setControl(f, ctl::findControl(f, "sldStandIn"), "400");
    EXPECT_EQ(sld->Value(), 400);
    EXPECT_THROW(ctl::setControl(f, ctl::findControl(f, "sldStandIn"), "70000"), ctl::UsageError);
    EXPECT_THROW(ctl::setControl(f, ctl::findControl(f, "sldStandIn"), "fast"), ctl::UsageError);
    EXPECT_EQ(sld->Value(), 400);

    ctl::setControl(f, ctl::findControl(f, "lstStandIn"), "a:,D:");
    EXPECT_EQ(ctl::valueOf(ctl::findControl(f, "lstStandIn")), "A:,D:");
    EXPECT_THROW(ctl::setControl(f, ctl::findControl(f, "lstStandIn"), "Q:"), ctl::UsageError);
    EXPECT_EQ(ctl::valueOf(ctl::findControl(f, "lstStandIn")), "A:,D:");

    const ctl::Control entry = ctl::findControl(f, "lvStandIn[.TXT\\shellnew]");
    EXPECT_EQ(entry.name, "lvStandIn[.txt\\ShellNew]");
    EXPECT_EQ(ctl::textOf(entry), "Text Document");
    ctl::setControl(f, entry, "1");
    EXPECT_TRUE(lv->Checked(0));
    EXPECT_THROW(ctl::findControl(f, "lvStandIn[.bmp\\ShellNew]"), ctl::UsageError);

    EXPECT_THROW(ctl::setControl(f, ctl::findControl(f, "txtStandIn"), "x"), ctl::UsageError);
    EXPECT_EQ(txt->Text(), "command.com");

    // The listing shows what was set, each control on its own page.
    std::map<QString, ctl::Control> byName;
    for (const ctl::Control& c : ctl::listControls(f))
        byName[c.name] = c;
    EXPECT_EQ(byName["chkStandIn"].page, 24);
    EXPECT_EQ(byName["chkStandIn"].kind, "checkbox");
    EXPECT_EQ(byName["sldStandIn"].kind, "slider");
    EXPECT_EQ(byName["lvStandIn[.txt\\ShellNew]"].kind, "listitem");
    EXPECT_EQ(ctl::valueOf(byName["lvStandIn[.txt\\ShellNew]"]), "1");
    EXPECT_FALSE(ctl::enabledOf(byName["txtStandIn"]));
    EXPECT_FALSE(ctl::visibleOf(f, byName["chkStandIn"]));  // page 5 is shown now
}
