#include "app/artwork.h"

#include <QBitmap>
#include <QImage>

static void initArtworkResources() {
    static bool done = false;
    if (!done) {
        Q_INIT_RESOURCE(quorvel);
        done = true;
    }
}

namespace qv::art {

void initResources() { initArtworkResources(); }

QPixmap maskedPixmap(const QString& resource) {
    initArtworkResources();
    QImage img(resource);
    if (img.isNull())
        return {};
    img = img.convertToFormat(QImage::Format_ARGB32);
    const QRgb grey = qRgb(192, 192, 192);
    for (int y = 0; y < img.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            if ((line[x] & 0xFFFFFF) == (grey & 0xFFFFFF))
                line[x] = 0;
    }
    return QPixmap::fromImage(img);
}

QIcon applicationIcon() {
    // The launcher's picture, so that the desktop shows one icon for the program and its window.
    initArtworkResources();
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/launcher/%1.png").arg(size), QSize(size, size));
    return icon;
}

QPixmap applicationPixmap() { return maskedPixmap(QStringLiteral(":/icons/quorvel-32.png")); }

QIcon treeImage(int index) {
    static const char* const names[] = {"computer", "folder-closed", "folder-open", "page"};
    if (index < 1 || index > 4)
        return {};
    return QIcon(maskedPixmap(QStringLiteral(":/icons/%1.png").arg(QLatin1String(names[index - 1]))));
}

QPixmap warningPixmap() { return maskedPixmap(QStringLiteral(":/icons/warning.png")); }

}  // namespace qv::art
