// A notice above the pages about the machine itself (its files changed on disk, its wineserver
// runs): a line of text, the buttons that act on it and a close button. It hides itself when
// closed or when one of its buttons is pressed.
#pragma once

#include <QToolBar>

class QLabel;
class QPushButton;
class QToolButton;

namespace qv {

class MachineBar : public QToolBar {
    Q_OBJECT
public:
    explicit MachineBar(const QString& objectName, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;
    // A button before the close button; pressing it hides the bar and emits `pressed`.
    QPushButton* addButton(const QString& caption, const QString& objectName);
    QToolButton* closeButton() const { return close_; }

signals:
    void pressed(const QString& objectName);

private:
    QLabel* label_;
    QToolButton* close_;
    QAction* beforeClose_;
};

}  // namespace qv
