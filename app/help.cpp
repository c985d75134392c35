#include "app/help.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QShortcut>
#include <QTextBrowser>
#include <QTextCursor>
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

QString helpText(const QPalette& palette) {
    art::initResources();
    QFile f(helpFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("<p>The help file Quorvel.hlp could not be read.</p>");
    QString html = QString::fromUtf8(f.readAll());
    if (tk::isDark(palette)) {
        // The file's dark grey notes vanish on a dark page: they become the text colour a
        // quarter of the way towards the page's own.
        const QColor text = palette.color(QPalette::Text), base = palette.color(QPalette::Base);
        const QColor note((text.red() * 3 + base.red()) / 4, (text.green() * 3 + base.green()) / 4,
                          (text.blue() * 3 + base.blue()) / 4);
        html.replace(QStringLiteral("color: #404040"), QStringLiteral("color: ") + note.name());
    }
    return html;
}

QString helpText() { return helpText(QGuiApplication::palette()); }

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("%1 Help").arg(tk::App::Title()));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(560, 480);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("txtHelp"));
    browser_->setOpenExternalLinks(true);
    browser_->setHtml(helpText(palette()));
    find_ = new QLineEdit(this);
    find_->setObjectName(QStringLiteral("txtHelpFind"));
    find_->setPlaceholderText(QStringLiteral("Find"));
    find_->setAccessibleName(QStringLiteral("Find in help"));
    find_->setClearButtonEnabled(true);
    find_->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(browser_);
    layout->addWidget(find_);

    connect(find_, &QLineEdit::returnPressed, this, [this] { findNext(); });
    auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    auto* find = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
    connect(find, &QShortcut::activated, this, [this] {
        find_->show();
        find_->setFocus();
        find_->selectAll();
    });
}

bool HelpWindow::findNext() {
    const QString what = find_->text();
    if (what.isEmpty())
        return false;
    if (browser_->find(what))
        return true;
    QTextCursor top = browser_->textCursor();
    top.movePosition(QTextCursor::Start);
    browser_->setTextCursor(top);
    return browser_->find(what);
}

void HelpWindow::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        // Esc leaves the find box first, then closes the window.
        if (find_->isVisible() && find_->hasFocus()) {
            find_->hide();
            browser_->setFocus();
        } else {
            close();
        }
        e->accept();
        return;
    }
    QWidget::keyPressEvent(e);
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
