// Changing a Wine prefix whose wineserver runs: the server holds the registry in memory and
// writes it over the files when it saves, so a change has to go through Wine itself (`wine reg
// import`), or the server has to stop first.
//
// Wine runs here with the caller's rights, so it is run only for a prefix, server folder and
// server process of the caller's own, and only from places the caller trusts: a program another
// user can replace, or a folder a file in the prefix names, would run that user's code as us.
// No command line and no batch file is built from registry data: every argument is one argv word.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <vector>

#include "registry/changeset.h"
#include "registry/machines/discovery.h"

namespace qv::reg {
class Machine;
}

namespace qv {

// The programs that reach a running prefix.
struct WinePrograms {
    QString wine;        // the loader to run `wine reg ...` with
    QString wineserver;  // the server program to stop it with
};

// The programs for `prefix`, each from the first of: $WINELOADER / $WINESERVER; Proton's
// files/bin when the prefix is a Proton one and that folder is trusted; PATH; and last, beside
// the running server's executable (pid 0: none) when that process is the caller's and its
// folder trusted. Trusted: the file and every folder above it belong to the caller or root and
// no one else may write to them.
WinePrograms findWinePrograms(const std::filesystem::path& prefix, long serverPid);

// Why this process must not run Wine for the prefix, or nothing when it may: the prefix folder,
// the running server's socket folder or the server process belongs to another user.
std::optional<QString> wineRefusal(const std::filesystem::path& prefix,
                                   const std::optional<reg::RunningWineserver>& server);

class ThroughWine {
public:
    explicit ThroughWine(const reg::Machine& machine);
    const WinePrograms& programs() const { return programs_; }
    // Set when Wine is not run for this prefix at all (see wineRefusal); every call below then
    // fails with it.
    const std::optional<QString>& refusal() const { return refusal_; }

    // Imports the change set with `wine reg import` and reads back every key and value it
    // touches; false with *error when Wine failed or holds something else afterwards.
    bool apply(const reg::ChangeSet& changes, QString* error);
    // What Wine now holds that differs from the end state of `changes`, as "KEY" or
    // "KEY\NAME" lines; nothing (and *error) when Wine could not be asked.
    std::optional<QStringList> differences(const reg::ChangeSet& changes, QString* error);
    // `changes` with each operation's old state taken from what Wine holds now, as if they were
    // applied to it in order: a value's old value, a deleted key's whole subtree, and a created
    // key that Wine already has marked as not known (undoing it must not delete it). A key that a
    // value needs and Wine lacks gets a CreateKey before it, so that the inverse removes it again.
    std::optional<reg::ChangeSet> asHeld(const reg::ChangeSet& changes, QString* error);
    // `wineserver -k`, then waits until the server has saved and gone.
    bool stopServer(QString* error);

    // Seconds a single Wine command may take.
    static constexpr int kTimeoutSec = 120;

private:
    struct Result {
        int status = -1;
        QString out, err;
        bool timedOut = false;
    };
    struct Held;
    // Runs each argument list with `program`, a few at a time.
    std::vector<Result> runAll(const QString& program, const std::vector<QStringList>& args, int timeoutSec) const;
    Result run(const QString& program, const QStringList& args, int timeoutSec) const;
    QString windowsPath(const std::filesystem::path& host) const;
    // Exports the keys (root and path pairs) with `wine reg export`, each once, and reads what
    // Wine holds in and below them.
    bool readBack(const std::vector<std::pair<int32_t, std::u16string>>& keys, Held* held, QString* error);

    const reg::Machine& machine_;
    std::optional<QString> refusal_;
    WinePrograms programs_;
};

}  // namespace qv
