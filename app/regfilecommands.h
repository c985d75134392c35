// The File menu's .reg commands over a session: export and import of settings profiles, and a
// .reg file opened as a document (its changes made pending, then the review shown).
#pragma once

#include <QString>
#include <filesystem>
#include <functional>

#include "app/session/committer.h"

class QMainWindow;

namespace qv {

class Session;

class RegFileCommands {
public:
    // tell shows an outcome's notices (false when it failed); review shows an opened file's review.
    RegFileCommands(Session& session, QMainWindow* window, std::function<bool(const Outcome&)> tell,
                    std::function<void(const std::filesystem::path&)> review)
        : session_(session), window_(window), tell_(std::move(tell)), review_(std::move(review)) {}

    void exportSettings();
    void importSettings();
    void openRegistryFile();
    // False when the file cannot be read or applied (the user has been told).
    bool open(const std::filesystem::path& file);

private:
    bool import(const std::filesystem::path& file, QString* error, bool askAboutOthers = true);

    Session& session_;
    QMainWindow* window_;
    std::function<bool(const Outcome&)> tell_;
    std::function<void(const std::filesystem::path&)> review_;
};

}  // namespace qv
