// The tests of the choosers and preview boxes need widgets: one QApplication for the whole run,
// made before any test so that the tests needing only a QGuiApplication share it.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

namespace qvtest {

inline bool widgetsAvailable() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

class WidgetApp : public ::testing::Environment {
public:
    void SetUp() override {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "shell_tests";
            static char* argv[] = {name, nullptr};
            static QApplication app(argc, argv);
        }
    }
};

}  // namespace qvtest
