// The help window: the program's help file, opened at a page's topic. Esc and Ctrl+W close it,
// Ctrl+F opens a find box (Enter finds the next match, Esc leaves it).
#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;
class QPalette;
class QTextBrowser;

namespace qv {

// The help file installed with the program (next to it, or in its share folder); the built-in
// copy when neither is found.
QString helpFilePath();
// The help file's text, its note colour made readable on a dark palette.
QString helpText(const QPalette& palette);
QString helpText();

class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);
    void showTopic(const QString& anchor);
    QString currentTopic() const { return topic_; }
    QTextBrowser* browser() const { return browser_; }
    QLineEdit* findBox() const { return find_; }
    // Finds the next match of the find box's text, from the top again past the last one.
    bool findNext();

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    QTextBrowser* browser_;
    QLineEdit* find_;
    QString topic_;
};

}  // namespace qv
