#include "app/frmabout.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

#include "app/artwork.h"
#include "app/toolkit.h"

namespace qv {

namespace {
QLabel* makeLink(const QString& text, QWidget* parent, const QString& name) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(8.25);
    f.setUnderline(true);
    l->setFont(f);
    // The dark cyan of a light dialog; a dark theme's own link colour on a dark one.
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, tk::isDark(p) ? p.color(QPalette::Link) : QColor(0, 64, 64));
    l->setPalette(p);
    l->setCursor(Qt::PointingHandCursor);
    return l;
}
}  // namespace

frmAbout::frmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmAbout"));
    setModal(true);
    setFixedSize(tk::px(5640), tk::px(2880));
    setWindowTitle(QStringLiteral("About Quorvel.") + tk::App::Title());

    imgIcon = new QLabel(this);
    imgIcon->setObjectName(QStringLiteral("imgIcon"));
    imgIcon->setPixmap(art::applicationPixmap());
    tk::place(imgIcon, 120, 120, 480, 480);

    lblAppname = new QLabel(QStringLiteral("Quorvel.") + tk::App::Title() + QLatin1Char(' ') +
                                QStringLiteral("%1.%2.%3").arg(tk::App::Major()).arg(tk::App::Minor()).arg(tk::App::Revision()),
                            this);
    lblAppname->setObjectName(QStringLiteral("lblAppname"));
    tk::place(lblAppname, 1080, 120, 3735, 255);

    Label2 = makeLink(QString::fromLatin1(kMakerWebPage), this, QStringLiteral("Label2"));
    tk::place(Label2, 1080, 720, 3255, 255);
    Label3 = makeLink(QString::fromLatin1(kMakerMail), this, QStringLiteral("Label3"));
    tk::place(Label3, 1080, 960, 4455, 255);
    Label2->installEventFilter(this);
    Label3->installEventFilter(this);

    cmdOK = new QPushButton(QStringLiteral("&OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    tk::place(cmdOK, 4200, 2400, 1335, 375);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
}

void frmAbout::Label2_Click() { tk::openUrl(QUrl(QString::fromLatin1(kMakerWebPage))); }

void frmAbout::Label3_Click() {
    tk::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(kMakerMail)));
}

bool frmAbout::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
        if (watched == Label2)
            Label2_Click();
        else if (watched == Label3)
            Label3_Click();
    }
    return QDialog::eventFilter(watched, e);
}

void frmAbout::keyPressEvent(QKeyEvent* e) {
    // OK is both the default and the cancel button.
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        cmdOK->click();
        return;
    }
    QDialog::keyPressEvent(e);
}

}  // namespace qv
