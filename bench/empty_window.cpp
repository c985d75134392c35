// The yardstick of the start-up benchmark: an empty Qt window of Quorvel's size, shown and drawn once.
#include <QApplication>
#include <QWidget>

#include "app/firstpaint.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Empty"));
    window.setFixedSize(602, 386);
    if (qEnvironmentVariableIsSet("QV_EXIT_WHEN_DRAWN"))
        qv::tk::quitOnFirstPaint(window);
    window.show();
    return QApplication::exec();
}
