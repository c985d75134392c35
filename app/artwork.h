// The program's own pictures, drawn in the 16-colour style of the desktop it imitates.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace qv::art {

// Registers the built-in pictures and help file (they live in a static library).
void initResources();

QIcon applicationIcon();           // the launcher's picture, 16x16 to 256x256
QPixmap applicationPixmap();       // 32x32
// The tree's image list: 1 computer, 2 closed folder, 3 open folder, 4 page (16x16).
QIcon treeImage(int index);
QPixmap warningPixmap();           // 32x32 warning triangle

// Loads an image whose light grey (192, 192, 192) is the transparent colour.
QPixmap maskedPixmap(const QString& resource);

}  // namespace qv::art
