// Commits under stress: failures and kills between the two files' renames, other programs writing
// the files meanwhile, links swapped in, read-only files, two programs seeding one new folder, the
// umask, files that are not regular, and the wineserver message pasted into a shell.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "registry/test_files.h"
#include "registry/cli/reg_tool.h"
#include "registry/machines/machine.h"
#include "registry/text.h"

using namespace qv::reg;
namespace fs = std::filesystem;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

std::string sz(std::u16string_view s) { return utf16ToBytes(s) + std::string(2, '\0'); }

void set(Machine& m, int32_t root, const std::string& path, const std::string& name, const std::string& data) {
    HKey k;
    ASSERT_EQ(m.createKey(root, path, &k), 0);
    ASSERT_EQ(m.setValue(k, name, REG_SZ, data), 0);
}

std::optional<std::string> get(Machine& m, int32_t root, const std::string& path, const std::string& name) {
    HKey k;
    if (m.openKey(root, path, &k) != 0) return std::nullopt;
    std::string data;
    if (m.queryValue(k, name, nullptr, &data) != 0) return std::nullopt;
    return data;
}

const char* const kSystem =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n"
    "\n[Software\\\\Classes\\\\.txt\\\\ShellNew] 1796630155\n#time=1dd8620637331ae\n\"NullFile\"=\"\"\n";
const char* const kUser =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n"
    "\n[Control Panel\\\\Desktop] 1796630155\n#time=1dd8620637331ae\n\"MenuShowDelay\"=\"400\"\n";

fs::path makeMachine(const fs::path& dir) {
    fs::create_directories(dir / "drive_c");
    writeFile(dir / "system.reg", kSystem);
    writeFile(dir / "user.reg", kUser);
    return dir;
}

// Everything in a folder that the machine itself did not put there.
std::set<std::string> strays(const fs::path& dir) {
    std::set<std::string> s;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n != "system.reg" && n != "user.reg" && n != "drive_c") s.insert(n);
    }
    return s;
}

// One edit in each file.
void editBoth(Machine& m, const std::string& tag) {
    set(m, HKEY_LOCAL_MACHINE, "Software\\Q", "S", sz(utf8ToUtf16(tag)));
    set(m, HKEY_CURRENT_USER, "Software\\Q", "U", sz(utf8ToUtf16(tag)));
}

// Another program's rewrite-and-rename of a file: a new key appended, the file swapped in.
void foreignAppend(const fs::path& file, const std::string& key) {
    const fs::path tmp = file.string() + ".other";
    writeFile(tmp, readFile(file) + "\n[" + key + "] 1796630155\n\"Other\"=\"yes\"\n");
    ASSERT_EQ(::rename(tmp.c_str(), file.c_str()), 0);
}

// ---- both files or neither ----------------------------------------------------------------------

TEST(CommitBothFiles, AFailureAtARenameIsUndoneOrReportedTruthfully) {
    struct Case {
        int failAt;
        bool undoable;  // false: the replaced system.reg is gone, so its rename cannot be taken back
    } cases[] = {{1, true}, {2, true}, {2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("failing rename " + std::to_string(c.failAt) + (c.undoable ? "" : ", not undoable"));
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        auto m = Machine::openOwn(dir);
        editBoth(*m, "new");
        int calls = 0;
        m->setBeforeRenameHook([&](const fs::path&) {
            if (++calls != c.failAt) return;
            if (!c.undoable)
                for (const std::string& n : strays(dir))
                    if (n.rfind(".system.reg", 0) == 0) fs::remove(dir / n);
            throw std::runtime_error("No space left on device");
        });
        try {
            m->commit();
            ADD_FAILURE() << "the commit went through";
        } catch (const MachineError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find("No space left on device"), std::string::npos) << msg;
            EXPECT_NE(msg.find(c.undoable ? "nothing was saved" : "system.reg was saved, user.reg was not"),
                      std::string::npos) << msg;
        }
        m->setBeforeRenameHook({});
        if (c.undoable) {
            EXPECT_EQ(readFile(dir / "system.reg"), kSystem);
            EXPECT_EQ(readFile(dir / "user.reg"), kUser);
            EXPECT_TRUE(strays(dir).empty()) << *strays(dir).begin();
            EXPECT_TRUE(m->hasChanges());
            m->commit();
        }
        // What was not saved is saved by the next commit or completed by the next open.
        auto again = Machine::openOwn(dir);
        EXPECT_EQ(get(*again, HKEY_LOCAL_MACHINE, "Software\\Q", "S"), sz(u"new"));
        EXPECT_EQ(get(*again, HKEY_CURRENT_USER, "Software\\Q", "U"), sz(u"new"));
        EXPECT_EQ(again->warnings().size(), c.undoable ? 0u : 1u);
        EXPECT_TRUE(strays(dir).empty()) << *strays(dir).begin();
    }
}

// Another program renames its file over system.reg just after the commit swapped its own in, and
// the commit then takes its renames back (user.reg failed, or a third program had slipped a file
// in before the swap): the newest file stays in place, and the one it displaced is dropped only
// when it is the file the commit read.
TEST(CommitOtherWriters, TakingTheRenamesBackNeverDropsAFileAnotherProgramPutInPlace) {
    for (bool thirdSlippedIn : {false, true}) {
        SCOPED_TRACE(thirdSlippedIn ? "a third program slipped its file in first" : "user.reg failed");
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        auto m = Machine::openOwn(dir);
        editBoth(*m, "new");
        int calls = 0;
        m->setBeforeRenameHook([&](const fs::path&) {
            if (++calls == 1 && thirdSlippedIn) foreignAppend(dir / "system.reg", "Third");
            if (calls != 2) return;
            foreignAppend(dir / "system.reg", "Newest");
            if (!thirdSlippedIn) throw std::runtime_error("No space left on device");
        });
        try {
            m->commit();
            ADD_FAILURE() << "the commit went through";
        } catch (const MachineError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find("nothing was saved"), std::string::npos) << msg;
            EXPECT_EQ(msg.find("kept as") != std::string::npos, thirdSlippedIn) << msg;
        }
        m->setBeforeRenameHook({});
        const std::string system = readFile(dir / "system.reg");
        EXPECT_NE(system.find("[Newest]"), std::string::npos) << system;
        EXPECT_EQ(readFile(dir / "user.reg"), kUser);
        const std::set<std::string> left = strays(dir);
        ASSERT_EQ(left.size(), thirdSlippedIn ? 1u : 0u);
        if (thirdSlippedIn) {
            EXPECT_EQ(left.begin()->rfind("system.reg.displaced-", 0), 0u) << *left.begin();
            EXPECT_NE(readFile(dir / *left.begin()).find("[Third]"), std::string::npos);
        }
        // The edits are still pending and go onto the newest file.
        ASSERT_TRUE(m->hasChanges());
        m->commit();
        auto after = Machine::openOwn(dir);
        EXPECT_EQ(get(*after, HKEY_LOCAL_MACHINE, "Newest", "Other"), sz(u"yes"));
        EXPECT_EQ(get(*after, HKEY_LOCAL_MACHINE, "Software\\Q", "S"), sz(u"new"));
        EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Software\\Q", "U"), sz(u"new"));
    }
}

// A process that dies in the middle of its renames leaves the journal; the next open finishes the
// save from the temporaries, or, when they cannot be trusted, says what it could not finish. When
// another program wrote a file in between, the save is dropped and that program's data stays.
TEST(CommitBothFiles, OpeningAfterADeathBetweenRenamesFinishesTheSave) {
    enum Damage { None, TornJournal, TornUserTemporary, OtherWroteUser };
    struct Case {
        int dieAt;  // the rename before which the process dies
        Damage damage;
        bool systemNew, userNew;
        const char* warning;
    } cases[] = {
        {1, None, true, true, "An interrupted save was completed"},
        {2, None, true, true, "An interrupted save was completed"},
        {1, TornJournal, false, false, "An interrupted save had not begun"},
        {2, TornUserTemporary, true, false, "An interrupted save could not be completed"},
        {1, OtherWroteUser, false, false, "An interrupted save was discarded"},
        {2, OtherWroteUser, false, false, "An interrupted save was discarded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("dies at rename " + std::to_string(c.dieAt) + ", damage " + std::to_string(c.damage));
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        const pid_t pid = ::fork();
        if (pid == 0) {
            auto m = Machine::openOwn(dir);
            editBoth(*m, "new");
            int calls = 0;
            m->setBeforeRenameHook([&](const fs::path&) {
                if (++calls == c.dieAt) ::_exit(0);
            });
            m->commit();
            ::_exit(1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_TRUE(fs::exists(dir / Machine::kCommitJournal));
        if (c.damage == TornJournal) fs::resize_file(dir / Machine::kCommitJournal, 20);
        if (c.damage == TornUserTemporary)
            for (const std::string& n : strays(dir))
                if (n.rfind(".user.reg", 0) == 0) fs::resize_file(dir / n, 10);
        if (c.damage == OtherWroteUser) foreignAppend(dir / "user.reg", "Other");

        auto m = Machine::openOwn(dir);
        EXPECT_EQ(get(*m, HKEY_CURRENT_USER, "Other", "Other").has_value(), c.damage == OtherWroteUser);
        EXPECT_EQ(get(*m, HKEY_LOCAL_MACHINE, "Software\\Q", "S").has_value(), c.systemNew);
        EXPECT_EQ(get(*m, HKEY_CURRENT_USER, "Software\\Q", "U").has_value(), c.userNew);
        const auto w = m->warnings();
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(w[0].rfind(c.warning, 0), 0u) << w[0];
        if (c.damage == TornUserTemporary) {
            EXPECT_NE(w[0].find("user.reg"), std::string::npos) << w[0];
        }
        EXPECT_TRUE(strays(dir).empty()) << *strays(dir).begin();
    }
}

// A journal is trusted only for this machine's files and their own temporaries.
TEST(CommitBothFiles, AJournalNamingOtherFilesTouchesNothing) {
    TempDir tmp;
    const fs::path dir = makeMachine(tmp.path() / "m");
    const fs::path victim = tmp.path() / "victim.txt";
    const fs::path planted = tmp.path() / ".victim.txt.quorvel-tmp-AAAAAA";
    writeFile(victim, "precious");
    writeFile(planted, "evil");
    const std::string t = planted.string(), v = victim.string();
    writeFile(dir / Machine::kCommitJournal, "QUORVEL COMMIT 1\n1\n4 0000000000000000 " + std::to_string(t.size()) +
                                                 ":" + t + " " + std::to_string(v.size()) + ":" + v + "\nEND\n");
    auto m = Machine::openOwn(dir);
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(fs::exists(planted));
    EXPECT_FALSE(fs::exists(dir / Machine::kCommitJournal));
    ASSERT_EQ(m->warnings().size(), 1u);
    EXPECT_NE(m->warnings()[0].find("not this machine's"), std::string::npos) << m->warnings()[0];
}

// ---- other writers ------------------------------------------------------------------------------

TEST(CommitOtherWriters, AnEditThatKeptSizeAndTimeIsStillSeen) {
    TempDir tmp;
    const fs::path dir = makeMachine(tmp.path() / "m");
    auto m = Machine::openOwn(dir);
    set(*m, HKEY_CURRENT_USER, "Software\\Q", "U", sz(u"mine"));
    // Rewritten in place, same length, the time put back: only the bytes tell.
    struct stat st;
    ASSERT_EQ(::stat((dir / "user.reg").c_str(), &st), 0);
    std::string text = readFile(dir / "user.reg");
    text.replace(text.find("\"400\""), 5, "\"999\"");
    {
        std::fstream f(dir / "user.reg", std::ios::in | std::ios::out | std::ios::binary);
        f << text;
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "user.reg").c_str(), times, 0), 0);
    m->commit();
    auto after = Machine::openOwn(dir);
    EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Control Panel\\Desktop", "MenuShowDelay"), sz(u"999"));
    EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Software\\Q", "U"), sz(u"mine"));
}

// A file another program renames in after the last look is seen once swapped out: the commit puts
// it back and starts over from it; one that keeps coming ends the commit after a few rounds.
TEST(CommitOtherWriters, AFileRenamedInDuringTheRenamesIsMergedNotLost) {
    for (int rounds : {1, 1000}) {
        SCOPED_TRACE(std::to_string(rounds) + " foreign renames");
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        auto m = Machine::openOwn(dir);
        editBoth(*m, "mine");
        int n = 0;
        m->setBeforeRenameHook([&](const fs::path& target) {
            if (target.filename() == "user.reg" && n < rounds)
                foreignAppend(target, "Other\\\\K" + std::to_string(n++));
        });
        if (rounds == 1) {
            m->commit();
        } else {
            try {
                m->commit();
                ADD_FAILURE() << "a file that never stops changing was saved as stable";
            } catch (const MachineError& e) {
                EXPECT_NE(std::string(e.what()).find("kept rewriting"), std::string::npos) << e.what();
            }
            EXPECT_LT(n, 20);
        }
        m->setBeforeRenameHook({});
        m->commit();  // what the last round took in
        auto after = Machine::openOwn(dir);
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Other\\K" + std::to_string(i), "Other"), sz(u"yes")) << i;
        EXPECT_EQ(get(*after, HKEY_CURRENT_USER, "Software\\Q", "U"), sz(u"mine"));
        EXPECT_EQ(get(*after, HKEY_LOCAL_MACHINE, "Software\\Q", "S"), sz(u"mine"));
        EXPECT_TRUE(strays(dir).empty()) << *strays(dir).begin();
    }
}

// The other program is a separate process that takes no lock: it rewrites user.reg and renames
// it in while quorvel-reg adds values in a loop. A careful writer looks again just before it swaps
// its file in and redoes its edit when it displaced a file it had not read; a plain one just
// renames.
// Reads a whole file through fd.
std::string readFd(int fd) {
    std::string s;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    return s;
}

// The names of quorvel-reg's values ("Q<n>") in a file's text.
std::set<std::string> toolValues(const std::string& text) {
    std::set<std::string> names;
    for (size_t at = 0; (at = text.find("\n\"Q", at)) != std::string::npos;) {
        const size_t end = text.find('"', at + 2);
        if (end == std::string::npos) break;
        names.insert(text.substr(at + 2, end - at - 2));
        at = end;
    }
    return names;
}

// A careful writer still puts a file in place before it learns that the one it displaced was
// newer; whoever reads in that moment builds on a file without the displaced edits. The values
// of quorvel-reg's it so drops itself are listed in `dropped`, one name per line.
[[noreturn]] void foreignWriter(const fs::path& file, int edits, bool careful, unsigned seed,
                                const fs::path& dropped) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pause(500, 4000);  // about as often as a sed -i loop
    const fs::path tmp = file.string() + ".w";
    std::set<std::string> droppedNames;
    for (int i = 0; i < edits; ++i) {
        const std::string block = "\n[Writer\\\\W" + std::to_string(i) + "] 1796630155\n\"V\"=\"w\"\n";
        // The file it read stays open, so that its inode number cannot come back as another
        // file's while it is compared.
        int based = ::open(file.c_str(), O_RDONLY);
        if (based < 0) ::_exit(2);
        std::string base = readFd(based);
        std::set<std::string> seen = toolValues(base);
        for (;;) {
            writeFile(tmp, base + block);
            if (!careful) {
                if (::rename(tmp.c_str(), file.c_str()) != 0) ::_exit(3);
                break;
            }
            // A last look first, so that a file built on an old one is seldom put in place at all;
            // the swap then tells whether one slipped in after that look.
            struct stat now, b;
            const int current = ::open(file.c_str(), O_RDONLY);
            if (current < 0 || ::fstat(current, &now) != 0 || ::fstat(based, &b) != 0) ::_exit(2);
            if (now.st_ino != b.st_ino) {
                ::close(based);
                based = current;
                base = readFd(based);
                seen.merge(toolValues(base));
                continue;
            }
            ::close(current);
            const int mine = ::open(tmp.c_str(), O_RDONLY);
            if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, file.c_str(), RENAME_EXCHANGE) != 0) ::_exit(3);
            const int displaced = ::open(tmp.c_str(), O_RDONLY);
            struct stat d;
            if (mine < 0 || displaced < 0 || ::fstat(displaced, &d) != 0) ::_exit(2);
            ::close(based);
            if (d.st_ino == b.st_ino) {
                ::close(mine);
                ::close(displaced);
                ::unlink(tmp.c_str());
                break;
            }
            base = readFd(displaced);  // someone's newer file: take it and edit again
            seen.merge(toolValues(base));
            ::close(displaced);
            based = mine;
        }
        for (const std::string& name : seen)
            if (!toolValues(base).count(name)) droppedNames.insert(name);
        if (!careful) ::close(based);
        std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
    }
    std::string list;
    for (const std::string& name : droppedNames) list += name + "\n";
    writeFile(dropped, list);
    ::_exit(0);
}

// Adds one value per run; a run refused because the file kept changing is run again, as a script
// that checks the exit status would. Reports the reruns through the exit status.
[[noreturn]] void regToolLoop(const fs::path& dir, int edits) {
    int reruns = 0;
    for (int i = 0; i < edits; ++i) {
        for (int attempt = 0;; ++attempt) {
            std::ostringstream out, err;
            const int rc = cli::runRegTool({"--machine", dir.string(), "add", "HKCU\\Software\\Tool", "/v",
                                            "Q" + std::to_string(i), "/d", "x", "/f"},
                                           out, err);
            if (rc == 0) break;
            if (err.str().find("kept rewriting") == std::string::npos || attempt == 20) {
                std::fprintf(stderr, "%s", err.str().c_str());
                ::_exit(255);
            }
            ++reruns;
        }
    }
    ::_exit(std::min(reruns, 254));
}

TEST(CommitOtherWriters, AnUnlockedWriterAndQuorvelRegLoseNoEdit) {
    constexpr int kEdits = 150;
    for (bool careful : {true, false}) {
        SCOPED_TRACE(careful ? "careful writer" : "plain writer");
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        const unsigned seed = std::random_device{}();
        SCOPED_TRACE("seed " + std::to_string(seed));
        const pid_t tool = ::fork();
        if (tool == 0) regToolLoop(dir, kEdits);
        const pid_t writer = ::fork();
        if (writer == 0) foreignWriter(dir / "user.reg", kEdits, careful, seed, tmp.path() / "dropped");
        int toolStatus = 0, writerStatus = 0;
        ::waitpid(tool, &toolStatus, 0);
        ::waitpid(writer, &writerStatus, 0);
        ASSERT_TRUE(WIFEXITED(toolStatus) && WEXITSTATUS(toolStatus) != 255) << toolStatus;
        ASSERT_TRUE(WIFEXITED(writerStatus) && WEXITSTATUS(writerStatus) == 0) << writerStatus;

        auto m = Machine::openOwn(dir);
        std::set<std::string> dropped;
        std::istringstream names(readFile(tmp.path() / "dropped"));
        for (std::string name; std::getline(names, name);) dropped.insert(name);
        int lostWriter = 0, lostTool = 0, lostByQuorvel = 0;
        for (int i = 0; i < kEdits; ++i) {
            if (!get(*m, HKEY_CURRENT_USER, "Writer\\W" + std::to_string(i), "V")) ++lostWriter;
            const std::string q = "Q" + std::to_string(i);
            if (!get(*m, HKEY_CURRENT_USER, "Software\\Tool", q)) {
                ++lostTool;
                lostByQuorvel += !dropped.count(q);
            }
        }
        std::printf("[ writers  ] %s writer: %d of %d writer edits lost, %d of %d quorvel-reg edits lost "
                    "(%zu dropped by the writer's own swaps), %d quorvel-reg runs refused and run again\n",
                    careful ? "careful" : "plain", lostWriter, kEdits, lostTool, kEdits, dropped.size(),
                    WEXITSTATUS(toolStatus));
        EXPECT_EQ(lostWriter, 0);
        // A plain writer's rename drops whatever was saved after it read the file: that loss is
        // its own doing and cannot be seen from here, so only the careful writer is held to it.
        if (careful) {
            EXPECT_EQ(lostByQuorvel, 0);
        }
    }
}

// ---- a key move replayed ------------------------------------------------------------------------

TEST(CommitReplay, AMoveMovesTheKeyAsItIsOnDiskNow) {
    TempDir tmp;
    const fs::path dir = makeMachine(tmp.path() / "m");
    auto m = Machine::openOwn(dir);
    const Machine::Mark start = m->mark();
    ASSERT_EQ(m->moveKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", HKEY_CLASSES_ROOT, ".txt\\ShellNew-"), 0);
    // The pending changes show the copy and the deletion with what they replaced; taking them
    // back restores the key.
    const ChangeSet cs = m->changesSince(start);
    ASSERT_FALSE(cs.ops.empty());
    EXPECT_EQ(cs.ops.back().kind, ChangeOp::Kind::DeleteKey);
    EXPECT_FALSE(cs.ops.back().oldTree.empty());
    m->rollbackTo(start);
    EXPECT_EQ(get(*m, HKEY_CLASSES_ROOT, ".txt\\ShellNew", "NullFile"), sz(u""));
    EXPECT_FALSE(get(*m, HKEY_CLASSES_ROOT, ".txt\\ShellNew-", "NullFile"));
    EXPECT_FALSE(m->hasChanges());
    // A key cannot move into itself.
    EXPECT_NE(m->moveKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", HKEY_CLASSES_ROOT, ".txt\\ShellNew\\In"), 0);
    EXPECT_FALSE(m->hasChanges());

    ASSERT_EQ(m->moveKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", HKEY_CLASSES_ROOT, ".txt\\ShellNew-"), 0);
    {
        // Another program adds a value to the key between the load and the save.
        auto other = Machine::openOwn(dir);
        set(*other, HKEY_CLASSES_ROOT, ".txt\\ShellNew", "Added", sz(u"by another"));
        other->commit();
    }
    m->commit();
    auto after = Machine::openOwn(dir);
    EXPECT_EQ(get(*after, HKEY_CLASSES_ROOT, ".txt\\ShellNew-", "Added"), sz(u"by another"));
    EXPECT_EQ(get(*after, HKEY_CLASSES_ROOT, ".txt\\ShellNew-", "NullFile"), sz(u""));
    HKey k;
    EXPECT_NE(after->openKey(HKEY_CLASSES_ROOT, ".txt\\ShellNew", &k), 0);
}

// ---- links --------------------------------------------------------------------------------------

// A symbolic-link key put back by an Apply (an undo of its deletion) is listed as a link and stays
// one when the file changed before the commit and the edits are replayed onto the new one.
TEST(CommitLinks, AKeyMadeALinkStaysOneWhenReplayedOntoAChangedFile) {
    for (bool changedMeanwhile : {false, true}) {
        SCOPED_TRACE(changedMeanwhile ? "file changed before the commit" : "file unchanged");
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        auto m = Machine::openOwn(dir);
        ChangeSet cs;
        ChangeOp create = keyOp(ChangeOp::Kind::CreateKey, HKEY_CURRENT_USER, u"Software\\Linked");
        create.link = true;
        cs.ops.push_back(create);
        cs.ops.push_back(setValueOp(HKEY_CURRENT_USER, u"Software\\Linked", u"SymbolicLinkValue", REG_LINK,
                                    utf16ToBytes(u"\\Registry\\Machine\\Software")));
        std::string why;
        const Machine::Mark start = m->mark();
        ASSERT_EQ(m->apply(cs, &why), 0) << why;
        // What review shows and a backup keeps says so too.
        int links = 0;
        for (const ChangeOp& op : m->changesSince(start).ops)
            links += op.link ? (op.key == u"Software\\Linked" ? 1 : 100) : 0;
        EXPECT_EQ(links, 1);
        if (changedMeanwhile) foreignAppend(dir / "user.reg", "Other\\\\K");
        m->commit();
        const std::string text = readFile(dir / "user.reg");
        const size_t header = text.find("[Software\\\\Linked]");
        ASSERT_NE(header, std::string::npos) << text;
        const std::string block = text.substr(header, text.find("\n[", header) - header);
        EXPECT_NE(block.find("\n#link\n"), std::string::npos) << block;
        EXPECT_EQ(changedMeanwhile, text.find("[Other\\\\K]") != std::string::npos);
    }
}

TEST(CommitLinks, AFileIsWrittenOnlyThroughTheLinkItHadWhenOpened) {
    enum Swap { Kept, ToOtherOutside, ToInside };
    for (Swap swap : {Kept, ToOtherOutside, ToInside}) {
        SCOPED_TRACE("swap " + std::to_string(swap));
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        const fs::path outside = tmp.path() / "real" / "user.reg";
        const fs::path other = tmp.path() / "other" / "user.reg";
        fs::create_directories(outside.parent_path());
        fs::create_directories(other.parent_path());
        fs::rename(dir / "user.reg", outside);
        writeFile(other, kUser);
        writeFile(dir / "inside.reg", kUser);
        fs::create_symlink(outside, dir / "user.reg");
        // A temporary a killed commit left beside the link's target goes when the machine opens.
        writeFile(outside.parent_path() / ".user.reg.quorvel-tmp-AbC123", "torn");
        auto m = Machine::openOwn(dir);
        EXPECT_FALSE(fs::exists(outside.parent_path() / ".user.reg.quorvel-tmp-AbC123"));
        set(*m, HKEY_CURRENT_USER, "Software\\Q", "U", sz(u"x"));
        if (swap != Kept) {
            fs::remove(dir / "user.reg");
            fs::create_symlink(swap == ToInside ? fs::path("inside.reg") : other, dir / "user.reg");
        }
        if (swap == ToOtherOutside) {
            EXPECT_THROW(m->commit(), MachineError);
            EXPECT_EQ(readFile(other), kUser);
        } else {
            m->commit();
        }
        EXPECT_TRUE(fs::is_symlink(dir / "user.reg"));
        const fs::path written = swap == Kept ? outside : swap == ToInside ? dir / "inside.reg" : other;
        EXPECT_EQ(readFile(written).find("\"U\"=\"x\"") != std::string::npos, swap != ToOtherOutside);
        EXPECT_EQ(readFile(outside), swap == Kept ? readFile(written) : std::string(kUser));
        for (const fs::path& d : {outside.parent_path(), other.parent_path()})
            EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1) << d;
    }
}

// ---- permissions, new folders, the umask ----------------------------------------------------------

TEST(CommitFiles, AReadOnlyFileIsRefusedByName) {
    TempDir tmp;
    const fs::path dir = makeMachine(tmp.path() / "m");
    fs::permissions(dir / "user.reg", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    auto m = Machine::openOwn(dir);
    editBoth(*m, "x");
    try {
        m->commit();
        ADD_FAILURE() << "a read-only file was replaced";
    } catch (const MachineError& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find((dir / "user.reg").string()), std::string::npos) << msg;
        EXPECT_NE(msg.find("read-only"), std::string::npos) << msg;
        EXPECT_NE(msg.find("nothing was saved"), std::string::npos) << msg;
    }
    EXPECT_EQ(readFile(dir / "user.reg"), kUser);
    EXPECT_EQ(readFile(dir / "system.reg"), kSystem);  // both or neither
    EXPECT_TRUE(strays(dir).empty());
}

TEST(CommitFiles, ProgramsOpeningOneNewFolderTogetherAllOpenIt) {
    TempDir tmp;
    for (int round = 0; round < 5; ++round) {
        const fs::path dir = tmp.path() / ("new" + std::to_string(round));
        std::vector<pid_t> kids;
        for (int i = 0; i < 6; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                try {
                    auto m = Machine::openOwn(dir);
                    ::_exit(m->warnings().empty() ? 0 : 2);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "%s\n", e.what());
                    ::_exit(1);
                }
            }
            kids.push_back(pid);
        }
        for (pid_t pid : kids) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
    }
}

TEST(CommitFiles, NewFilesFollowTheUmask) {
    TempDir tmp;
    for (mode_t mask : {mode_t(077), mode_t(022)}) {
        const mode_t old = ::umask(mask);
        const fs::path dir = tmp.path() / ("m" + std::to_string(mask));
        {
            auto m = Machine::openOwn(dir);
            editBoth(*m, "x");
            m->commit();
        }
        ::umask(old);
        for (const char* f : {"system.reg", "user.reg"}) {
            struct stat st;
            ASSERT_EQ(::stat((dir / f).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << f << " under umask " << std::oct << mask;
        }
    }
}

// ---- what is not a registry file ------------------------------------------------------------------

TEST(CommitFiles, OnlyARegularFileOfBoundedSizeIsRead) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        const char* reason;
    } cases[] = {
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, "not a regular file"},
        {"a link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, "not a regular file"},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }, "not a regular file"},
        {"a file over 2 GiB",
         [](const fs::path& p) {
             writeFile(p, kSystem);
             fs::resize_file(p, Machine::kMaxFileSize + 1);  // sparse: nothing is written
         },
         "larger than 2 GiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        const fs::path dir = makeMachine(tmp.path() / "m");
        fs::remove(dir / "system.reg");
        c.make(dir / "system.reg");
        const auto start = std::chrono::steady_clock::now();
        try {
            Machine::openOwn(dir);
            ADD_FAILURE() << "opened";
        } catch (const MachineError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(c.reason), std::string::npos) << msg;
            EXPECT_NE(msg.find("system.reg"), std::string::npos) << msg;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

// ---- the wineserver message -----------------------------------------------------------------------

TEST(WineserverMessage, PastingTheSuggestedCommandIsSafe) {
    TempDir tmp;
    const fs::path prefix = tmp.path() / "wp$(touch PWNED)x 'q' `touch PWNED2`";
    fs::create_directories(prefix);
    writeFile(prefix / "system.reg", kSystem);
    writeFile(prefix / "user.reg", kUser);
    std::optional<std::string> msg;
    {
        qvtest::FakeWineserver server(prefix, "qv-quote-" + std::to_string(::getpid()));
        ASSERT_GT(server.pid(), 0);
        msg = Machine::openWinePrefix(prefix)->wineserverRunning();
    }
    ASSERT_TRUE(msg);
    const std::string suffix = " wineserver -k";
    const size_t at = msg->find("WINEPREFIX=");
    ASSERT_NE(at, std::string::npos) << *msg;
    ASSERT_EQ(msg->compare(msg->size() - suffix.size(), suffix.size(), suffix), 0) << *msg;
    // The pasted line, with the command swapped for one that shows what the shell passed on.
    const std::string line = msg->substr(at, msg->size() - suffix.size() - at) + " printenv WINEPREFIX";
    const std::string cmd = "cd " + tmp.path().string() + " && " + line;
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
    EXPECT_EQ(out, prefix.string() + "\n") << line;
    EXPECT_FALSE(fs::exists(tmp.path() / "PWNED"));
    EXPECT_FALSE(fs::exists(tmp.path() / "PWNED2"));
}

}  // namespace
