#include "app/filewatch.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace qv {

namespace {
constexpr const char* kFiles[] = {"system.reg", "user.reg"};
}

FileWatch::FileWatch(const std::filesystem::path& folder, QObject* parent)
    : QObject(parent), folder_(folder), watcher_(new QFileSystemWatcher(this)), delay_(new QTimer(this)) {
    delay_->setSingleShot(true);
    delay_->setInterval(300);
    connect(delay_, &QTimer::timeout, this, [this] { settle(); });
    watcher_->addPath(QString::fromStdString(folder_.string()));
    for (const char* name : kFiles)
        watcher_->addPath(QString::fromStdString((folder_ / name).string()));
    connect(watcher_, &QFileSystemWatcher::fileChanged, delay_, qOverload<>(&QTimer::start));
    connect(watcher_, &QFileSystemWatcher::directoryChanged, delay_, qOverload<>(&QTimer::start));
}

void FileWatch::settle() {
    // A file replaced by a rename is a new file: its watch went with the old one.
    const QStringList watched = watcher_->files();
    for (const char* name : kFiles) {
        const QString path = QString::fromStdString((folder_ / name).string());
        if (!watched.contains(path) && QFileInfo::exists(path))
            watcher_->addPath(path);
    }
    emit changed();
}

}  // namespace qv
