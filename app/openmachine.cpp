#include "app/openmachine.h"

#include <QDateTime>
#include <QDir>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/toolkit.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

QString sourceText(const std::string& source) {
    if (source == "own") return QObject::tr("Quorvel");
    if (source == "recent") return QObject::tr("Recent");
    if (source == "WINEPREFIX") return QStringLiteral("$WINEPREFIX");
    if (source == "wine") return QObject::tr("Wine");
    if (source == "bottles") return QObject::tr("Bottles");
    if (source == "lutris") return QObject::tr("Lutris");
    if (source == "proton") return QObject::tr("Steam Proton");
    if (source == "heroic") return QObject::tr("Heroic");
    if (source == "playonlinux") return QObject::tr("PlayOnLinux");
    if (source == "mounted") return QObject::tr("mounted drive");
    return QString::fromStdString(source);
}

// Paths under the home folder as the shell writes them, so that the column shows what differs.
QString homeRelative(const fs::path& p) {
    const QString path = QString::fromStdString(p.string());
    const QString home = QDir::homePath();
    if (home.size() > 1 && path.startsWith(home + QLatin1Char('/')))
        return QStringLiteral("~") + path.mid(home.size());
    return path;
}

}  // namespace

std::optional<MachineChoice> classifyFolder(const fs::path& folder, QString* why) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        *why = QObject::tr("%1 is not a folder.").arg(QString::fromStdString(folder.string()));
        return std::nullopt;
    }
    if (reg::isWindowsDrive(folder))
        return MachineChoice{reg::Machine::Kind::Windows, folder};
    if (fs::exists(folder / "dosdevices", ec) || (reg::isWinePrefix(folder) && fs::exists(folder / "drive_c" / "windows", ec)))
        return MachineChoice{reg::Machine::Kind::WinePrefix, folder};
    if (reg::isWinePrefix(folder))
        return MachineChoice{reg::Machine::Kind::Own, folder};
    *why = QObject::tr("%1 holds no machine: a Wine prefix or an own machine has system.reg and user.reg "
                       "in Wine's format, a Windows drive has Windows\\System32\\config\\SOFTWARE.")
               .arg(QString::fromStdString(folder.string()));
    return std::nullopt;
}

OpenMachineDialog::OpenMachineDialog(std::vector<reg::MachineEntry> machines, const fs::path& current,
                                     QWidget* parent, bool readDetails)
    : QDialog(parent), machines_(std::move(machines)) {
    setObjectName(QStringLiteral("frmOpenMachine"));
    setWindowTitle(tr("Open Machine"));
    auto* layout = new QVBoxLayout(this);
    auto* caption = new QLabel(tr("&Machines on this computer:"), this);
    layout->addWidget(caption);

    lstMachines = new QTreeWidget(this);
    lstMachines->setObjectName(QStringLiteral("lstMachines"));
    lstMachines->setRootIsDecorated(false);
    lstMachines->setUniformRowHeights(true);
    lstMachines->setHeaderLabels({tr("Name"), tr("Kind"), tr("Windows"), tr("Wine server"), tr("Last used"), tr("Path")});
    caption->setBuddy(lstMachines);
    QTreeWidgetItem* currentItem = nullptr;
    for (size_t i = 0; i < machines_.size(); ++i) {
        const reg::MachineEntry& m = machines_[i];
        const QString kind = m.kind == reg::Machine::Kind::Own       ? tr("Own machine")
                             : m.kind == reg::Machine::Kind::Windows ? tr("Windows (%1)").arg(sourceText(m.source))
                                                                     : tr("Wine prefix (%1)").arg(sourceText(m.source));
        auto* item = new QTreeWidgetItem(lstMachines, QStringList{
            QString::fromStdString(m.name), kind, QString(), QString(),
            m.lastUsed ? QLocale().toString(QDateTime::fromSecsSinceEpoch(qint64(*m.lastUsed)), QLocale::ShortFormat)
                       : tr("never"),
            homeRelative(m.path)});
        item->setData(0, Qt::UserRole, int(i));
        item->setToolTip(5, QString::fromStdString(m.path.string()));
        if (readDetails) {
            item->setText(2, tr("reading..."));
        } else {
            showDetails(i, m);
        }
        std::error_code ec;
        if (!currentItem && fs::weakly_canonical(m.path, ec) == fs::weakly_canonical(current, ec)) {
            currentItem = item;
            for (int c = 0; c < item->columnCount(); ++c) {
                QFont f = item->font(c);
                f.setBold(true);
                item->setFont(c, f);
            }
        }
    }
    for (int c = 0; c < 5; ++c) lstMachines->resizeColumnToContents(c);
    if (readDetails && !machines_.empty()) {
        detailsLeft_ = machines_.size();
        std::vector<reg::MachineEntry> todo = machines_;
        reader_ = std::thread([this, todo = std::move(todo)]() mutable {
            for (size_t i = 0; i < todo.size() && !stopReading_; ++i) {
                reg::readMachineDetails(todo[i]);
                // Queued to the dialog: dropped unread if the dialog is gone by then.
                QMetaObject::invokeMethod(this, [this, i, e = todo[i]] { showDetails(i, e); }, Qt::QueuedConnection);
            }
        });
    }
    lstMachines->setCurrentItem(currentItem ? currentItem : lstMachines->topLevelItem(0));
    lstMachines->setMinimumSize(tk::fitToScreen(this, QSize(tk::px(10800), tk::px(3600))));
    layout->addWidget(lstMachines);

    auto* buttons = new QDialogButtonBox(this);
    cmdOpen = buttons->addButton(tr("&Open"), QDialogButtonBox::AcceptRole);
    cmdOpen->setObjectName(QStringLiteral("cmdOpen"));
    cmdBrowse = buttons->addButton(tr("&Browse..."), QDialogButtonBox::ActionRole);
    cmdBrowse->setObjectName(QStringLiteral("cmdBrowse"));
    cmdNewOwn = buttons->addButton(tr("&New own machine..."), QDialogButtonBox::ActionRole);
    cmdNewOwn->setObjectName(QStringLiteral("cmdNewOwn"));
    buttons->addButton(QDialogButtonBox::Cancel);
    cmdOpen->setDefault(true);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(cmdOpen, &QPushButton::clicked, this, [this] { openSelected(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { browse(); });
    connect(cmdNewOwn, &QPushButton::clicked, this, [this] { newOwn(); });
    connect(lstMachines, &QTreeWidget::itemActivated, this, [this] { openSelected(); });
}

OpenMachineDialog::~OpenMachineDialog() {
    stopReading_ = true;
    if (reader_.joinable()) reader_.join();
}

void OpenMachineDialog::showDetails(size_t row, const reg::MachineEntry& e) {
    QTreeWidgetItem* item = lstMachines->topLevelItem(int(row));
    if (!item) return;
    machines_[row].windowsVersion = e.windowsVersion;
    machines_[row].running = e.running;
    item->setText(2, e.windowsVersion.empty() ? tr("unknown") : QString::fromStdString(e.windowsVersion));
    item->setText(3, e.kind != reg::Machine::Kind::WinePrefix ? QString() : (e.running ? tr("running") : tr("stopped")));
    if (detailsLeft_ > 0 && --detailsLeft_ == 0) {
        lstMachines->resizeColumnToContents(2);
        lstMachines->resizeColumnToContents(3);
    }
}

void OpenMachineDialog::explainFirstStart() {
    setWindowTitle(tr("Choose a Machine"));
    auto* intro = new QLabel(tr("Quorvel found Wine prefixes on this computer. Choose the registry to edit; "
                                "the own machine is a practice registry that no Windows program reads."),
                             this);
    intro->setObjectName(QStringLiteral("lblFirstStart"));
    intro->setWordWrap(true);
    static_cast<QVBoxLayout*>(layout())->insertWidget(0, intro);
}

void OpenMachineDialog::openSelected() {
    const QTreeWidgetItem* item = lstMachines->currentItem();
    if (!item) return;
    const reg::MachineEntry& m = machines_[size_t(item->data(0, Qt::UserRole).toInt())];
    choice_ = MachineChoice{m.kind, m.path};
    accept();
}

void OpenMachineDialog::browse() {
    QFileDialog dlg(this, tr("Open a Wine Prefix, Machine Folder or Windows Drive"), QDir::homePath());
    dlg.setFileMode(QFileDialog::Directory);
    dlg.setOption(QFileDialog::ShowDirsOnly);
    // ~/.wine and the front ends' folders are hidden.
    dlg.setFilter(QDir::AllDirs | QDir::Hidden | QDir::NoDotAndDotDot);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return;
    QString why;
    if (auto c = classifyFolder(dlg.selectedFiles().first().toStdString(), &why)) {
        choice_ = c;
        accept();
    } else {
        tk::MsgBox(why, tk::vbOKOnly | tk::vbExclamation);
    }
}

void OpenMachineDialog::newOwn() {
    QFileDialog dlg(this, tr("Folder for a New Own Machine"), QDir::homePath());
    dlg.setFileMode(QFileDialog::Directory);
    dlg.setOption(QFileDialog::ShowDirsOnly);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return;
    const fs::path folder = dlg.selectedFiles().first().toStdString();
    std::error_code ec;
    // Only an empty or new folder is seeded; one holding a machine opens as it is.
    if (fs::exists(folder, ec) && !fs::is_empty(folder, ec) && !reg::isWinePrefix(folder)) {
        tk::MsgBox(tr("%1 is not empty. Choose an empty folder for a new own machine.")
                       .arg(QString::fromStdString(folder.string())),
                   tk::vbOKOnly | tk::vbExclamation);
        return;
    }
    choice_ = MachineChoice{reg::Machine::Kind::Own, folder};
    accept();
}

}  // namespace qv
