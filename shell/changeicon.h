// The change-icon chooser: "Look for icons in this file:" with a path box and Browse..., the
// file's icons in index order in one horizontal row, OK and Cancel. It answers with the file's
// Windows path and the position of the chosen icon, or with nothing for Cancel. Paths are Windows
// paths of the current machine; the file behind one is read through its drive letters.
#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QWidget;

namespace qv::shell {

struct IconChoice {
    std::string path;
    int index = 0;
    bool operator==(const IconChoice&) const = default;
};

struct ChangeIconRequest {
    QWidget* owner = nullptr;
    std::string path;  // shown in the path box
    int index = 0;     // selected when the file has an icon there
};

// Answers the chooser instead of showing it (tests); an empty hook shows the real chooser again.
using ChangeIconHook = std::function<std::optional<IconChoice>(const ChangeIconRequest&)>;
void setChangeIconHook(ChangeIconHook hook);
bool changeIconHooked();

// Runs the chooser (or the hook) modally once.
std::optional<IconChoice> PickIconDlg(const ChangeIconRequest& request);

// The host file dialog behind the chooser's Browse... button, answered by tests: the chosen host
// file, nothing for Cancel.
using IconFileHook = std::function<std::optional<std::filesystem::path>(const std::optional<std::filesystem::path>& start)>;
void setIconFileHook(IconFileHook hook);

class ChangeIconDialog : public QDialog {
    Q_OBJECT
public:
    explicit ChangeIconDialog(const ChangeIconRequest& request);

    QLineEdit* pathBox() const { return path_; }
    QListWidget* iconList() const { return list_; }
    QLabel* notice() const { return notice_; }
    QPushButton* browseButton() const { return browse_; }

    // Lists the icons of the file in the path box; selects `preferred` (a position, or minus a
    // resource id) when the file has it, else the first icon.
    void loadIcons(int preferred = 0);
    // Browse...: a host file dialog; the chosen file's Windows path goes into the box and its
    // icons are listed.
    void browseForFile();
    // After OK: the path and the chosen position.
    std::optional<IconChoice> choice() const { return choice_; }

public slots:
    // A path typed since the list was filled is listed first, so that the user sees what OK
    // would choose; a file without icons cannot be accepted.
    void accept() override;

private:
    QLineEdit* path_ = nullptr;
    QPushButton* browse_ = nullptr;
    QListWidget* list_ = nullptr;
    QLabel* notice_ = nullptr;
    QString listed_;
    std::optional<IconChoice> choice_;
};

}  // namespace qv::shell
