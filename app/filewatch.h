// Watches a machine folder's registry files and says once, after a burst of events (a save writes a
// temporary file, renames it, then the other file), that they may have changed.
#pragma once

#include <QObject>
#include <filesystem>

class QFileSystemWatcher;
class QTimer;

namespace qv {

class FileWatch : public QObject {
    Q_OBJECT
public:
    FileWatch(const std::filesystem::path& folder, QObject* parent);

signals:
    void changed();

private:
    void settle();

    std::filesystem::path folder_;
    QFileSystemWatcher* watcher_;
    QTimer* delay_;
};

}  // namespace qv
