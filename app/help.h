// The help window: the program's help file, opened at a page's topic.
#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;

namespace qv {

// The help file installed with the program (next to it, or in its share folder); the built-in
// copy when neither is found.
QString helpFilePath();
QString helpText();

class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);
    void showTopic(const QString& anchor);
    QString currentTopic() const { return topic_; }
    QTextBrowser* browser() const { return browser_; }

private:
    QTextBrowser* browser_;
    QString topic_;
};

}  // namespace qv
