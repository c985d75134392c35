#include "shell/changeicon.h"

#include "shell/folderbrowser.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <system_error>

#include "shell/folderbrowser.h"
#include "shell/iconreader.h"
#include "shell/ownicons.h"
#include "shell/paths.h"

namespace fs = std::filesystem;

namespace qv::shell {

namespace {

ChangeIconHook g_hook;
IconFileHook g_fileHook;

struct Listed {
    std::optional<ShellIcon> icon;  // nothing when none of the group's images decodes
    int id = -1;
};

// Every icon of the file, in index order, reading the file once.
std::vector<Listed> iconsOf(const std::string& windowsPath, QString& problem) {
    std::vector<Listed> out;
    const QString shown = QString::fromStdString(windowsPath);
    if (windowsPath.empty()) {
        problem = QStringLiteral("Type the name of a file, or press Browse... to find one.");
        return out;
    }
    if (isOwnExecutable(windowsPath)) {
        for (int i = 0; i < kOwnIconCount; ++i) {
            const auto icon = ownIcon(i);
            out.push_back({icon ? std::optional<ShellIcon>(icon->large) : std::nullopt, i == 3 ? 1 : -1});
        }
        return out;
    }
    const std::optional<fs::path> host = HostPath(windowsPath);
    std::error_code ec;
    if (!host || !fs::is_regular_file(*host, ec)) {
        problem = QStringLiteral("The file \"%1\" cannot be found.").arg(shown);
        return out;
    }
    const std::optional<std::string> bytes = readIconFile(*host);
    const int count = bytes ? iconCount(*bytes) : 0;
    for (int i = 0; i < count; ++i) {
        Listed l;
        if (const auto group = iconGroup(*bytes, i)) {
            l.id = group->id;
            l.icon = groupIcon(*group, kLargeIconSize);
        }
        out.push_back(std::move(l));
    }
    if (out.empty())
        problem = QStringLiteral("The file \"%1\" contains no icons.\nChoose another file.").arg(shown);
    return out;
}

}  // namespace

void setChangeIconHook(ChangeIconHook hook) { g_hook = std::move(hook); }
bool changeIconHooked() { return static_cast<bool>(g_hook); }
void setIconFileHook(IconFileHook hook) { g_fileHook = std::move(hook); }

std::optional<IconChoice> PickIconDlg(const ChangeIconRequest& request) {
    if (g_hook)
        return g_hook(request);
    ChangeIconDialog dlg(request);
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    return dlg.choice();
}

ChangeIconDialog::ChangeIconDialog(const ChangeIconRequest& request) : QDialog(request.owner) {
    setObjectName(QStringLiteral("frmChangeIcon"));
    setWindowTitle(QStringLiteral("Change Icon"));
    setModal(true);

    auto* look = new QLabel(QStringLiteral("&Look for icons in this file:"), this);
    path_ = new QLineEdit(QString::fromStdString(request.path), this);
    path_->setObjectName(QStringLiteral("txtIconFile"));
    look->setBuddy(path_);
    browse_ = new QPushButton(QStringLiteral("&Browse..."), this);
    browse_->setObjectName(QStringLiteral("cmdIconFileBrowse"));
    browse_->setAutoDefault(false);
    auto* pick = new QLabel(QStringLiteral("&Select an icon from the list below:"), this);
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("lstIcons"));
    pick->setBuddy(list_);
    list_->setViewMode(QListView::IconMode);
    list_->setFlow(QListView::LeftToRight);
    list_->setWrapping(false);
    list_->setMovement(QListView::Static);
    list_->setIconSize(QSize(kLargeIconSize, kLargeIconSize));
    list_->setGridSize(QSize(kLargeIconSize + 12, kLargeIconSize + 12));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setFixedHeight(kLargeIconSize + 12 + list_->horizontalScrollBar()->sizeHint().height() + 4);
    notice_ = new QLabel(this);
    notice_->setObjectName(QStringLiteral("lblNotice"));
    notice_->setWordWrap(true);
    notice_->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto* row = new QHBoxLayout;
    row->addWidget(path_, 1);
    row->addWidget(browse_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(look);
    layout->addLayout(row);
    layout->addWidget(pick);
    layout->addWidget(list_);
    layout->addWidget(notice_);
    layout->addWidget(buttons);
    setMinimumWidth(420);

    connect(buttons, &QDialogButtonBox::accepted, this, &ChangeIconDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ChangeIconDialog::reject);
    connect(browse_, &QPushButton::clicked, this, &ChangeIconDialog::browseForFile);
    connect(list_, &QListWidget::itemDoubleClicked, this, &ChangeIconDialog::accept);

    loadIcons(request.index);
}

void ChangeIconDialog::loadIcons(int preferred) {
    list_->clear();
    listed_ = path_->text();
    QString problem;
    const std::vector<Listed> icons = iconsOf(listed_.toStdString(), problem);
    const QColor back = list_->palette().color(QPalette::Base);
    int select = 0;
    for (size_t i = 0; i < icons.size(); ++i) {
        auto* item = new QListWidgetItem(list_);
        if (icons[i].icon)
            item->setIcon(QIcon(QPixmap::fromImage(iconOnBackground(*icons[i].icon, back))));
        item->setToolTip(QString::number(i));
        if (preferred >= 0 ? static_cast<int>(i) == preferred : icons[i].id == -preferred)
            select = static_cast<int>(i);
    }
    if (list_->count() > 0) {
        list_->setCurrentRow(select);
        list_->scrollToItem(list_->currentItem());
    }
    notice_->setText(problem);
    notice_->setVisible(!problem.isEmpty());
}

void ChangeIconDialog::browseForFile() {
    const std::optional<fs::path> start = HostPath(path_->text().toStdString());
    std::optional<fs::path> chosen;
    if (g_fileHook) {
        chosen = g_fileHook(start);
    } else {
        QFileDialog dlg(this, QStringLiteral("Change Icon"));
        dlg.setFileMode(QFileDialog::ExistingFile);
        dlg.setNameFilters({QStringLiteral("Icon files (*.ico *.exe *.dll)"), QStringLiteral("Programs (*.exe)"),
                            QStringLiteral("Libraries (*.dll)"), QStringLiteral("Icons (*.ico)"),
                            QStringLiteral("All files (*)")});
        dlg.setFilter(QDir::Files);
        showMachineIn(dlg, start);
        if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty())
            chosen = fs::path(QFile::encodeName(dlg.selectedFiles().first()).toStdString());
    }
    if (!chosen)
        return;
    const std::optional<std::string> windows = WindowsPathOf(*chosen);
    if (!windows) {
        notice_->setText(QStringLiteral("That file lies on no drive of this machine."));
        notice_->show();
        return;
    }
    path_->setText(QString::fromStdString(*windows));
    loadIcons();
}

void ChangeIconDialog::accept() {
    if (path_->text() != listed_) {
        loadIcons();
        return;
    }
    if (list_->count() == 0)
        return;
    choice_ = IconChoice{path_->text().toStdString(), std::max(0, list_->currentRow())};
    QDialog::accept();
}

}  // namespace qv::shell
