// File > Open Machine: the own machine, recent machines and the Wine prefixes found on this
// computer, with a way to browse to any other folder or to make a new own machine.
#pragma once

#include <QDialog>
#include <filesystem>
#include <optional>
#include <vector>

#include "registry/discovery.h"

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
    OpenMachineDialog(std::vector<reg::MachineEntry> machines, const std::filesystem::path& current,
                      QWidget* parent = nullptr);
    std::optional<MachineChoice> choice() const { return choice_; }

    QTreeWidget* lstMachines = nullptr;
    QPushButton* cmdOpen = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QPushButton* cmdNewOwn = nullptr;

private:
    void openSelected();
    void browse();
    void newOwn();

    std::vector<reg::MachineEntry> machines_;
    std::optional<MachineChoice> choice_;
};

}  // namespace qv
