// Ends the program once a window has been drawn for the first time: the start-up benchmark times
// Quorvel and an empty Qt window up to that moment in the same way.
#pragma once

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
                QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
            }
            return false;
        }
    };
    window.installEventFilter(new Filter(&window));
}

}  // namespace qv::tk
