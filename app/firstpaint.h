// Ends the program once a window has been drawn for the first time: the start-up benchmark times
// Quorvel and an empty Qt window up to that moment in the same way. When QV_DRAWN_FD names an
// open file descriptor, one byte is written to it at that moment, so that the time the program
// takes to end is not counted.
#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

namespace qv::tk {

inline void quitOnFirstPaint(QWidget& window) {
    struct Filter : QObject {
        using QObject::QObject;
        bool eventFilter(QObject* watched, QEvent* e) override {
            if (e->type() == QEvent::Paint) {
                watched->removeEventFilter(this);
                bool ok = false;
                const int fd = qEnvironmentVariableIntValue("QV_DRAWN_FD", &ok);
                if (ok && fd > 2) {
                    const char byte = 1;
                    (void)!::write(fd, &byte, 1);
                }
                QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
            }
            return false;
        }
    };
    window.installEventFilter(new Filter(&window));
}

}  // namespace qv::tk
