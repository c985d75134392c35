// File > Open Machine: the own machine, recent machines and the Wine prefixes found on this
// computer, with a way to browse to any other folder or to make a new own machine.
#pragma once

#include <QDialog>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <optional>
#include <vector>

#include "registry/machines/discovery.h"

class QTreeWidget;
class QPushButton;

namespace qv {

struct MachineChoice {
    reg::Machine::Kind kind;
    std::filesystem::path folder;
};

// What a folder the user browsed to is: a Wine prefix (it has dosdevices or is no own machine),
// an own machine (Wine's files without dosdevices), or nothing to open (then *why says so).
std::optional<MachineChoice> classifyFolder(const std::filesystem::path& folder, QString* why);

class OpenMachineDialog : public QDialog {
    Q_OBJECT
public:
    // Entries listed without their details get them filled in by a background reader while the
    // dialog is shown, so that it opens at once however many prefixes the computer holds.
    OpenMachineDialog(std::vector<reg::MachineEntry> machines, const std::filesystem::path& current,
                      QWidget* parent = nullptr, bool readDetails = true);
    ~OpenMachineDialog() override;
    // At the very first start: a line above the list says what the own machine is.
    void explainFirstStart();
    // True once every entry's details are shown.
    bool detailsShown() const { return detailsLeft_ == 0; }
    std::optional<MachineChoice> choice() const { return choice_; }

    QTreeWidget* lstMachines = nullptr;
    QPushButton* cmdOpen = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QPushButton* cmdNewOwn = nullptr;

private:
    void openSelected();
    void browse();
    void newOwn();

    void showDetails(size_t row, const reg::MachineEntry& e);

    std::vector<reg::MachineEntry> machines_;
    std::optional<MachineChoice> choice_;
    size_t detailsLeft_ = 0;
    std::atomic<bool> stopReading_{false};
    std::thread reader_;
};

}  // namespace qv
