#include "app/help.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

#include "app/artwork.h"
#include "app/toolkit.h"

namespace qv {

QString helpFilePath() {
    const QString dir = tk::App::Path();
    const QStringList candidates = {
        dir + QStringLiteral("/Quorvel.hlp"),
        dir + QStringLiteral("/../share/quorvel/Quorvel.hlp"),
    };
    for (const QString& c : candidates)
        if (QFileInfo::exists(c))
            return QFileInfo(c).canonicalFilePath();
    return QStringLiteral(":/help/Quorvel.hlp");
}

QString helpText() {
    art::initResources();
    QFile f(helpFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("<p>The help file Quorvel.hlp could not be read.</p>");
    return QString::fromUtf8(f.readAll());
}

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("%1 Help").arg(tk::App::Title()));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(560, 480);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("txtHelp"));
    browser_->setOpenExternalLinks(true);
    browser_->setHtml(helpText());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
}

void HelpWindow::showTopic(const QString& anchor) {
    topic_ = anchor;
    show();
    raise();
    activateWindow();
    browser_->scrollToAnchor(anchor);
    // The first layout happens after showing; scroll again once it has.
    QTimer::singleShot(0, browser_, [b = browser_, anchor] { b->scrollToAnchor(anchor); });
}

}  // namespace qv
