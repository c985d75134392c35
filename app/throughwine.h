// Changing a Wine prefix whose wineserver runs: the server holds the registry in memory and
// writes it over the files when it saves, so a change has to go through Wine itself (`wine reg
// import`), or the server has to stop first.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>

#include "registry/changeset.h"

namespace qv::reg {
class Machine;
}

namespace qv {

// The programs that reach a running prefix.
struct WinePrograms {
    QString wine;        // the loader to run `wine reg ...` with
    QString wineserver;  // the server program to stop it with
};

// Which wine belongs to the running server of `prefix` (pid 0: not known): the one beside the
// server's executable, else $WINELOADER, else Proton's when the prefix is a Proton one, else
// `wine` on PATH; likewise the wineserver.
WinePrograms findWinePrograms(const std::filesystem::path& prefix, long serverPid);
// The server's pid named in Machine::wineserverRunning()'s message, or 0.
long serverPidOf(const reg::Machine& machine);

class ThroughWine {
public:
    explicit ThroughWine(const reg::Machine& machine);
    const WinePrograms& programs() const { return programs_; }

    // Imports the change set with `wine reg import` and reads back every key and value it
    // touches; false with *error when Wine failed or holds something else afterwards.
    bool apply(const reg::ChangeSet& changes, QString* error);
    // What Wine now holds that differs from the end state of `changes`, as "KEY" or
    // "KEY\NAME" lines; nothing (and *error) when Wine could not be asked.
    std::optional<QStringList> differences(const reg::ChangeSet& changes, QString* error);
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
    Result run(const QString& program, const QStringList& args, int timeoutSec) const;
    QString windowsPath(const std::filesystem::path& host) const;

    const reg::Machine& machine_;
    WinePrograms programs_;
};

}  // namespace qv
