// The pages over an installed Windows: scripting mode on hives made from nothing (a Windows
// 10-like SOFTWARE, SYSTEM with two control sets, a user's NTUSER.DAT and UsrClass.dat), each
// page's values set and applied, then read back through libhivex for exact types and bytes.
#include <fstream>
#include <map>
#include <sstream>

#include "app_support.h"
#include "registry/text.h"
#include "tools/hive_builder.h"
#include "tools/hive_check.h"

using namespace qvtest;
namespace reg = qv::reg;
namespace hb = qvtest::hive;

namespace {

constexpr const char* kSid = "S-1-5-21-1111-2222-3333-1001";

struct Expect {
    const char* hive;  // file under the drive
    const char* key;
    const char* name;
    uint32_t type;
    std::string data;
};

std::string sz16(const std::u16string& s) { return reg::utf16ToBytes(s + u'\0'); }

class WindowsScript : public ::testing::Test {
protected:
    fs::path drive() const { return dir_.path() / "c"; }
    fs::path file(const char* rel) const { return drive() / rel; }

    void SetUp() override {
        ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
        const std::string nt = "Microsoft\\Windows NT\\CurrentVersion";
        hb::Builder sw;
        sw.set(nt, "SystemRoot", reg::REG_SZ, hb::sz("C:\\Windows"))
            .set(nt, "ProductName", reg::REG_SZ, hb::sz("Windows 10 Pro"))
            .set(nt, "CurrentVersion", reg::REG_SZ, hb::sz("6.3"))
            .set(nt, "RegisteredOwner", reg::REG_SZ, hb::sz("Owner"))
            .set(nt + "\\ProfileList\\" + kSid, "ProfileImagePath", reg::REG_EXPAND_SZ,
                 hb::sz("%SystemDrive%\\Users\\alice"))
            .set("Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons", "3", reg::REG_SZ,
                 hb::sz("C:\\Windows\\System32\\shell32.dll,3"))
            .set("Classes\\.txt", "", reg::REG_SZ, hb::sz("txtfile"))
            .set("Classes\\.txt\\ShellNew", "NullFile", reg::REG_SZ, hb::sz(""))
            .set("Classes\\txtfile", "", reg::REG_SZ, hb::sz("Text Document"))
            .key("Classes\\Folder\\shell")
            .key("Classes\\Directory\\shell");
        sw.write(file("Windows/System32/config/SOFTWARE"));
        hb::Builder sy;
        sy.set("Select", "Current", reg::REG_DWORD, hb::dword(2))
            .set("Select", "Default", reg::REG_DWORD, hb::dword(2))
            .set("ControlSet001\\Control\\FileSystem", "NtfsDisable8dot3NameCreation", reg::REG_DWORD, hb::dword(2))
            .set("ControlSet002\\Control\\FileSystem", "NtfsDisable8dot3NameCreation", reg::REG_DWORD, hb::dword(2));
        sy.write(file("Windows/System32/config/SYSTEM"));
        hb::Builder user;
        user.set("Control Panel\\Desktop", "MenuShowDelay", reg::REG_SZ, hb::sz("400"))
            .set("Control Panel\\Desktop\\WindowMetrics", "MinAnimate", reg::REG_SZ, hb::sz("1"))
            .key("Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer");
        user.write(file("Users/alice/NTUSER.DAT"));
        hb::Builder classes;
        classes.key(".usr");
        classes.write(file("Users/alice/AppData/Local/Microsoft/Windows/UsrClass.dat"));
    }
    void TearDown() override { ::unsetenv("XDG_STATE_HOME"); }

    ScriptRun run(QStringList args) {
        args.prepend(QString::fromStdString(drive().string()));
        args.prepend(QStringLiteral("--windows"));
        return runScript(args);
    }
    std::string listed(const ScriptRun& r, const std::string& name) {
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
        return "<absent>";
    }
    TempDir dir_;
};

}  // namespace

TEST_F(WindowsScript, EveryKindOfPageWritesItsExactFormIntoTheRightHive) {
    const QStringList sets = {"--set", "chkAnimateWindows=0",
                              "--set", "sldMenuShowDelay=100",
                              "--set", "txtRegisteredName=Ada Lovelace",
                              "--set", "chkDisableTilde=1",
                              "--set", "lstDrives=A:,B:",
                              "--set", "optShortcutIcon(1)=1",
                              "--set", "chkClickHeretoBegin=0",
                              "--set", "lvNewMenu[.txt\\ShellNew]=0"};
    // The entry's key is renamed out of the shell's way, so it lists under its new name.
    const std::map<std::string, std::string> renamed = {{"lvNewMenu[.txt\\ShellNew]", "lvNewMenu[.txt\\ShellNew-]"}};
    ScriptRun r = run(sets + QStringList{"--apply"});
    ASSERT_EQ(r.status, 0) << r.err;

    const char* software = "Windows/System32/config/SOFTWARE";
    const char* system = "Windows/System32/config/SYSTEM";
    const char* user = "Users/alice/NTUSER.DAT";
    const Expect expected[] = {
        {user, "Control Panel\\Desktop\\WindowMetrics", "MinAnimate", reg::REG_SZ, sz16(u"0")},
        {user, "Control Panel\\Desktop", "MenuShowDelay", reg::REG_SZ, sz16(u"100")},
        {user, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", "NoDrives", reg::REG_BINARY,
         std::string("\x03\x00\x00\x00", 4)},
        {user, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", "NoStartBanner", reg::REG_DWORD,
         std::string("\x01\x00\x00\x00", 4)},
        {software, "Microsoft\\Windows NT\\CurrentVersion", "RegisteredOwner", reg::REG_SZ, sz16(u"Ada Lovelace")},
        {software, "Microsoft\\Windows\\CurrentVersion", "RegisteredOwner", reg::REG_SZ, sz16(u"Ada Lovelace")},
        {software, "Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons", "29", reg::REG_SZ,
         sz16(u"C:\\Windows\\Quorvel\\LightArrow.ico,0")},
        // CurrentControlSet is the selected set, 2.
        {system, "ControlSet002\\Control\\FileSystem", "NameNumericTail", reg::REG_BINARY, std::string(1, '\0')},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(std::string(e.key) + "\\" + e.name);
        const auto v = hb::hivexValue(file(e.hive), e.key, e.name);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->type, e.type);
        EXPECT_EQ(v->data, e.data);
    }
    EXPECT_FALSE(hb::hivexValue(file(system), "ControlSet001\\Control\\FileSystem", "NameNumericTail"));
    // Everything else of the hives is still there, and the 'New' entry moved out of the way.
    EXPECT_TRUE(hb::hivexValue(file(system), "ControlSet001\\Control\\FileSystem", "NtfsDisable8dot3NameCreation"));
    EXPECT_TRUE(hb::hivexValue(file(software), "Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Icons", "3"));
    EXPECT_FALSE(hb::hivexHasKey(file(software), "Classes\\.txt\\ShellNew"));
    EXPECT_TRUE(hb::hivexHasKey(file(software), "Classes\\.txt\\ShellNew-"));
    // The overlay icon the value names is a real file of that Windows.
    EXPECT_TRUE(fs::is_regular_file(file("Windows/Quorvel/LightArrow.ico")));
    for (const char* hive : {software, system, user})
        hb::expectSoundHive(file(hive));

    // Read back through the pages: what was set is what loads.
    r = run({"--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(Windows installation)"), std::string::npos) << r.out.substr(0, 200);
    for (qsizetype i = 1; i < sets.size(); i += 2) {
        const std::string s = sets[i].toStdString();
        const size_t eq = s.find('=');
        const std::string name = s.substr(0, eq);
        EXPECT_EQ(listed(r, renamed.count(name) ? renamed.at(name) : name), s.substr(eq + 1)) << s;
    }
}

TEST_F(WindowsScript, AWindowsThatIsHibernatedIsReadButNotWritten) {
    {
        std::ofstream(drive() / "hiberfil.sys", std::ios::binary) << "HIBR" << std::string(4092, '\0');
    }
    const std::string before = fileBytes(file("Users/alice/NTUSER.DAT"));
    const ScriptRun r = run({"--set", "chkAnimateWindows=0", "--apply"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("hibernat"), std::string::npos) << r.err;
    EXPECT_EQ(fileBytes(file("Users/alice/NTUSER.DAT")), before);
}
