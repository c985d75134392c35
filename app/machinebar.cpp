#include "app/machinebar.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

namespace qv {

MachineBar::MachineBar(const QString& objectName, QWidget* parent) : QToolBar(parent) {
    setObjectName(objectName);
    setMovable(false);
    setFloatable(false);
    // Not a toolbar the user can switch off from a context menu: it closes with its own button.
    toggleViewAction()->setVisible(false);
    setContextMenuPolicy(Qt::PreventContextMenu);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(255, 244, 196));
    pal.setColor(QPalette::WindowText, QColor(40, 32, 0));
    setPalette(pal);

    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(16, 16));
    addWidget(icon);
    label_ = new QLabel(this);
    label_->setObjectName(objectName + QStringLiteral("Text"));
    label_->setWordWrap(true);
    label_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    label_->setContentsMargins(4, 2, 4, 2);
    addWidget(label_);
    close_ = new QToolButton(this);
    close_->setObjectName(objectName + QStringLiteral("Close"));
    close_->setAutoRaise(true);
    close_->setText(QStringLiteral("\u00d7"));
    close_->setToolTip(tr("Close this notice"));
    beforeClose_ = addWidget(close_);
    connect(close_, &QToolButton::clicked, this, &QWidget::hide);
}

void MachineBar::setText(const QString& text) { label_->setText(text); }
QString MachineBar::text() const { return label_->text(); }

QPushButton* MachineBar::addButton(const QString& caption, const QString& objectName) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(objectName);
    b->setAutoDefault(false);
    insertWidget(beforeClose_, b);
    connect(b, &QPushButton::clicked, this, [this, objectName] {
        hide();
        emit pressed(objectName);
    });
    return b;
}

}  // namespace qv
