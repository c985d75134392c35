// A machine: the registry files of a Wine prefix or of Quorvel's own machine folder (or the hives
// of a Windows installation, machines/windows.cpp), its drive letters and Windows directories, and
// the commit that writes changes back to disk. Opening and the registry API are in machine.cpp, the
// changes and their application in apply.cpp; the files' trees, the commit and the environment are
// classes and functions of their own that Machine uses.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "registry/api.h"
#include "registry/changeset.h"
#include "registry/machines/branches.h"
#include "registry/machines/error.h"

namespace qv::reg {

class RegFile;
class RegKey;
struct Trees;

class Machine : public RegistryApi, public MachineFacts {
public:
    enum class Kind { Own, WinePrefix, Windows };

    // Registry files larger than this are refused before they are read (a real one is a few MB).
    static constexpr uint64_t kMaxFileSize = kMaxRegistryFileSize;
    // Name of the commit journal in the machine folder: present only while a commit renames its
    // files, so that one interrupted there is finished (or undone) when the machine is next opened.
    static constexpr const char* kCommitJournal = ".quorvel-commit";

    // $XDG_DATA_HOME/quorvel/machine, or ~/.local/share/quorvel/machine.
    static std::filesystem::path defaultOwnFolder();
    // Opens an own machine folder, creating and seeding it when it is missing or empty.
    static std::unique_ptr<Machine> openOwn(const std::filesystem::path& folder);
    // Opens a Wine prefix (it must hold system.reg and user.reg).
    static std::unique_ptr<Machine> openWinePrefix(const std::filesystem::path& prefix);
    // Opens the Windows installation whose system drive (a mounted partition or a copy) is
    // drive, through its hive files; user names the profile folder (or SID) whose NTUSER.DAT is
    // HKEY_CURRENT_USER, and may be empty when the installation has one user. Defined in
    // machines/windows.cpp.
    static std::unique_ptr<Machine> openWindows(const std::filesystem::path& drive, const std::string& user = {});
    // One of the three by kind (user only for a Windows installation).
    static std::unique_ptr<Machine> open(Kind kind, const std::filesystem::path& folder, const std::string& user = {});

    ~Machine() override;

    Kind kind() const { return kind_; }
    const std::filesystem::path& folder() const { return folder_; }

    // Lines the reader kept but could not use, as "FILE:LINE: reason", and what opening the
    // machine had to mend (a save that an earlier process left half done).
    virtual std::vector<std::string> warnings() const;

    // "C:\WINDOWS" / "C:\windows" and its system folder, without a trailing backslash.
    virtual std::string windowsDirectory() const;
    virtual std::string systemDirectory() const;
    // Maps a Windows path ("C:\x\y") to the host file behind it, through the drive letters.
    std::optional<std::filesystem::path> hostPath(std::string_view windowsPath) const;
    // Maps a host path to the Windows path of this machine (the longest drive mapping wins).
    std::optional<std::string> windowsPath(const std::filesystem::path& host) const;
    const std::map<char, std::filesystem::path>& drives() const { return drives_; }

    // True while changes wait for a commit.
    bool hasChanges() const;
    // Writes every changed file, all or none: every temporary file is written and synced first,
    // then a journal names them, then they are renamed into place. A file that changed on disk
    // since it was read (checked again just before the renames) is re-read and this commit's
    // changes are replayed onto it. Throws MachineError, saying what was and was not saved, when
    // anything could not be written; the changes that were not saved stay pending then.
    virtual void commit();
    // Re-reads files that changed on disk since they were read, keeping pending changes.
    virtual void refresh();
    // Whether every file still has the identity, size and modification time it was read with:
    // enough to trust a machine opened a moment ago; refresh() also compares the contents.
    virtual bool filesAsRead() const;
    // Drops pending changes: the registry is again what the files on disk hold.
    virtual void discardChanges();
    // The pending changes, in the order they were made, with the old state of everything they
    // touch; roots HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. Its inverse, applied after the
    // commit, restores every touched key and value exactly.
    ChangeSet pendingChanges() const;
    // A point in the pending changes to come back to.
    struct Mark {
        size_t system = 0, user = 0;
    };
    Mark mark() const;
    ChangeSet changesSince(Mark m) const;
    ChangeSet changesBetween(Mark from, Mark to) const;
    // Takes back every change made after the mark.
    void rollbackTo(Mark m);
    // Takes back every change made after `start` but those in `ranges` (pairs of marks after it,
    // in order), which are made again as they were asked for: a key moved stays a move, so that a
    // commit onto a file another program changed moves the key with what that program added.
    void keepOnly(Mark start, const std::vector<std::pair<Mark, Mark>>& ranges);
    // Applies operations one at a time as one transaction, as apply() does a change set: for
    // operations read from a file as they come, never held together. The first one refused takes
    // back everything the applier applied and returns the status apply would. Nothing else may
    // change the machine while an applier is at work: it keeps the last key it touched.
    class Applier {
    public:
        explicit Applier(Machine& machine) : machine_(machine), start_(machine.mark()) {}
        // sameKey: op names the key the operation before it named, which is then not looked up
        // again (a key with many values costs the length of its path once).
        int32_t add(const ChangeOp& op, bool sameKey, std::string* error);
        // Takes back everything applied (the rest of the file turned out bad).
        void cancel() { machine_.rollbackTo(start_); }

    private:
        friend class Machine;
        Machine& machine_;
        Mark start_;
        size_t depth_ = 0;        // of the last operation's key
        RegKey* key_ = nullptr;   // the last operation's key, while it is known to be there
    };

    // Applies a change set as one transaction: all of it becomes pending, or on an error none of
    // it does and the status is returned with *error saying which key and why. HKEY_CLASSES_ROOT
    // is HKLM\Software\Classes; deleting a key or value that is not there is no error. A key
    // deeper than kMaxKeyDepth is not made.
    int32_t apply(const ChangeSet& changes, std::string* error);
    // A .reg file's bytes (readRegFile) applied as one transaction, read operation by operation
    // so that a file of any size is never held as a change set. A file that cannot be read
    // changes nothing and sets *unreadable, with *error as readRegFile says it. The user's branch
    // of HKEY_USERS is HKEY_CURRENT_USER, another branch refuses the file, and on a Wine prefix
    // what Wine keeps only in memory stays out, each such key named once in *inMemory.
    int32_t applyRegFile(std::string_view bytes, const std::string& name, std::string* error,
                         bool* unreadable = nullptr, std::vector<std::string>* inMemory = nullptr);

    // The SID whose branch of HKEY_USERS is HKEY_CURRENT_USER here: Wine's user for a prefix or
    // an own machine, the chosen user's for a Windows installation; "" when it is not known.
    std::string userSid() const override;
    bool winePrefix() const override { return kind_ == Kind::WinePrefix; }

    // True when the registry has one view only: a prefix made for 32-bit Windows (#arch=win32),
    // where Wine's 32-bit and 64-bit views of the keys are the same keys.
    bool singleView() const;

    // For a Wine prefix: a message naming the running wineserver, or nothing when none runs.
    std::optional<std::string> wineserverRunning() const;

    // RegistryApi
    int32_t openKey(int32_t root, std::string_view path, HKey* out) override;
    int32_t createKey(int32_t root, std::string_view path, HKey* out) override;
    // The key at path below an open key of this store's own files, found from there rather than
    // from the root (a path walked level by level costs its length once). Not for a Windows
    // installation's HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT, whose paths it maps.
    int32_t openSubkey(HKey parent, std::string_view path, HKey* out);
    void closeKey(HKey key) override;
    int32_t queryValue(HKey key, std::string_view name, uint32_t* type, std::string* data) override;
    int32_t setValue(HKey key, std::string_view name, uint32_t type, std::string_view data) override;
    int32_t deleteValue(HKey key, std::string_view name) override;
    int32_t deleteKey(int32_t root, std::string_view path) override;
    int32_t enumValue(HKey key, uint32_t index, std::string* name, uint32_t* type,
                      std::string* data) override;
    int32_t enumKey(HKey key, uint32_t index, std::string* name) override;
    int32_t queryInfoKey(HKey key, KeyInfo* info) override;
    int32_t copyKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                    std::string_view dstPath) override;
    int32_t moveKey(int32_t srcRoot, std::string_view srcPath, int32_t dstRoot,
                    std::string_view dstPath) override;
    // From the files' key headers, building no key (an installation's walks its merged view).
    int32_t findKeysNamed(int32_t root, std::string_view path, const std::vector<std::string>& names,
                          size_t maxDepth, std::vector<std::string>* found) override;
    bool findsKeysFromIndex() const override { return kind_ != Kind::Windows; }
    std::optional<std::string> environmentVariable(std::string_view name) const override;

    // Test hook: called just before each file is renamed into place; throwing stops the commit.
    void setBeforeRenameHook(std::function<void(const std::filesystem::path&)> hook);
    // Called by a commit once it knows what it replaces, before it replaces anything: with the
    // pending changes as they stand on the files on disk now (their old state is what those files
    // hold, another program's writes included), so that a way back is kept of what really goes.
    // Throwing stops the commit and nothing is saved.
    void setBeforeSaveHook(std::function<void(const ChangeSet&)> hook) { beforeSave_ = std::move(hook); }

protected:
    Machine(Kind kind, std::filesystem::path folder);
    // One operation, nothing taken back when it fails (the applier does that); a machine that
    // places keys its own way overrides it. at.key_ is the key when sameKey is set.
    virtual int32_t applyOp(const ChangeOp& op, Applier& at, bool sameKey, std::string* error);
    // For a machine whose files are not Wine's: the two trees it keeps in memory (HKLM and
    // HKCU), named for messages; any earlier ones are dropped.
    void adoptTrees(std::unique_ptr<RegFile> system, const std::filesystem::path& systemName,
                    std::unique_ptr<RegFile> user, const std::filesystem::path& userName);
    RegFile& systemTree() const;
    RegFile& userTree() const;
    void addNote(std::string note) { notes_.push_back(std::move(note)); }
    void setDrive(char letter, std::filesystem::path folder) { drives_[letter] = std::move(folder); }
    void beforeRename(const std::filesystem::path& target) const {
        if (beforeRename_) beforeRename_(target);
    }
    void beforeSave() const {
        if (beforeSave_) beforeSave_(pendingChanges().simplified());
    }

private:
    static std::unique_ptr<Machine> openFiles(Kind kind, const std::filesystem::path& folder);
    void checkWineserver() const;

    Kind kind_;
    std::filesystem::path folder_;
    std::unique_ptr<Trees> trees_;  // the two files, HKLM and HKCU
    std::map<char, std::filesystem::path> drives_;
    std::vector<std::string> notes_;  // machine-level warnings
    std::function<void(const std::filesystem::path&)> beforeRename_;
    std::function<void(const ChangeSet&)> beforeSave_;
};

}  // namespace qv::reg
