#include "app/toolkit.h"

#include <QProxyStyle>
#include <QScreen>

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QContextMenuEvent>
#include <QCursor>
#include <QKeyEvent>
#include <QLocale>
#include <QToolTip>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <limits>

#include "app/artwork.h"

#ifndef QV_VERSION_MAJOR
#define QV_VERSION_MAJOR 1
#define QV_VERSION_MINOR 0
#define QV_VERSION_PATCH 25
#endif

namespace qv::tk {

namespace {
double g_fontScale = 1.0;
}  // namespace

double fontScaleFor(double desktopPointSize) {
    constexpr double kOrdinary = 10.0;
    return desktopPointSize > kOrdinary ? desktopPointSize / kOrdinary : 1.0;
}

double fontScale() { return g_fontScale; }

QSize fitToScreen(const QWidget* w, QSize wanted) {
    const QScreen* screen = w && w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return wanted;
    const QRect avail = screen->availableGeometry();
    return {std::min(wanted.width(), avail.width() * 9 / 10), std::min(wanted.height(), avail.height() * 8 / 10)};
}

int px(int twips) {
    const int base = (twips * 2 + 15) / 30;
    return g_fontScale == 1.0 ? base : int(std::lround(base * g_fontScale));
}

void place(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
}

// ---- the program ----------------------------------------------------------------------------

namespace App {
QString Title() { return QStringLiteral("Quorvel"); }
QString Path() {
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}
QString EXEName() {
    const QString file = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                      : QString();
    return file.isEmpty() ? QStringLiteral("quorvel") : QFileInfo(file).completeBaseName();
}
int Major() { return QV_VERSION_MAJOR; }
int Minor() { return QV_VERSION_MINOR; }
int Revision() { return QV_VERSION_PATCH; }
QString Version() {
    return QStringLiteral("%1.%2.%3").arg(Major()).arg(Minor()).arg(Revision());
}
}  // namespace App

QString cutOffText(QAbstractItemView* view, QPoint pos) {
    const QModelIndex index = view->indexAt(pos);
    if (!index.isValid())
        return {};
    const QRect cell = view->visualRect(index);
    const int needed = view->sizeHintForIndex(index).width();
    // Cut off on the right (the view too narrow) or on the left (scrolled past).
    const bool cut = cell.left() < 0 || cell.left() + needed > view->viewport()->width();
    return cut ? index.data(Qt::DisplayRole).toString() : QString();
}

namespace {
class CutOffToolTips : public QObject {
public:
    explicit CutOffToolTips(QAbstractItemView* view) : QObject(view), view_(view) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() != QEvent::ToolTip)
            return false;
        auto* help = static_cast<QHelpEvent*>(e);
        const QString text = cutOffText(view_, help->pos());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, view_->viewport(),
                               view_->visualRect(view_->indexAt(help->pos())));
        return true;
    }

private:
    QAbstractItemView* view_;
};
}  // namespace

void showCutOffTextAsToolTip(QAbstractItemView* view) {
    view->viewport()->installEventFilter(new CutOffToolTips(view));
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

SplitArguments splitQtArguments(const QStringList& args) {
    // Those QGuiApplication and QApplication take, with and without a value; either spelled with
    // one dash or two, the value as the next word or after '='.
    static const QStringList withValue = {
        QStringLiteral("style"), QStringLiteral("stylesheet"), QStringLiteral("platform"),
        QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"), QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowtitle"), QStringLiteral("qwindowicon"),
        QStringLiteral("display"), QStringLiteral("geometry"), QStringLiteral("session"),
        QStringLiteral("name"), QStringLiteral("title"), QStringLiteral("icon")};
    static const QStringList alone = {QStringLiteral("reverse"), QStringLiteral("sync"),
                                      QStringLiteral("nograb"), QStringLiteral("dograb"),
                                      QStringLiteral("widgetcount")};
    SplitArguments out;
    bool ownOnly = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (ownOnly || !a.startsWith(QLatin1Char('-')) || a == QLatin1String("--")) {
            ownOnly = ownOnly || a == QLatin1String("--");
            out.own << a;
            continue;
        }
        QString word = a.mid(a.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype eq = word.indexOf(QLatin1Char('='));
        const QString key = eq < 0 ? word : word.left(eq);
        if (withValue.contains(key)) {
            out.qt << QLatin1Char('-') + key;
            if (eq >= 0)
                out.qt << word.mid(eq + 1);
            else if (i + 1 < args.size())
                out.qt << args[++i];
        } else if (alone.contains(key) && eq < 0) {
            out.qt << QLatin1Char('-') + key;
        } else {
            out.own << a;
        }
    }
    return out;
}

void setupApplication(QApplication& app) {
    QCoreApplication::setApplicationName(QStringLiteral("quorvel"));
    QCoreApplication::setApplicationVersion(App::Version());
    // No display name: the window system would append it to every title ("Quorvel Help -
    // Quorvel"); the titles name the program themselves.
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvel"));
    QGuiApplication::setWindowIcon(art::applicationIcon());
    // The layout is measured for an 8-point dialog font, as on the desktop it imitates; a
    // larger desktop font is followed, and the layout grows with it rather than clipping.
    QFont f = app.font();
    g_fontScale = fontScaleFor(f.pointSizeF());
    f.setPointSizeF(8.25 * g_fontScale);
    app.setFont(f);
}

// ---- controls -------------------------------------------------------------------------------

Frame::Frame(const QString& caption, QWidget* parent, const QString& name)
    : QGroupBox(caption, parent) {
    setObjectName(name);
}

QLabel* makeLabel(const QString& text, QWidget* parent, const QString& name) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setWordWrap(true);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setTextFormat(Qt::PlainText);
    return l;
}

QWidget* makeLine(QWidget* parent, const QString& name, QColor colour, int x1, int y, int x2) {
    auto* w = new QWidget(parent);
    w->setObjectName(name);
    w->setAutoFillBackground(true);
    QPalette p = w->palette();
    p.setColor(QPalette::Window, colour);
    w->setPalette(p);
    w->setGeometry(px(x1), px(y), px(x2) - px(x1), 1);
    return w;
}

CheckBox::CheckBox(const QString& caption, QWidget* parent, const QString& name)
    : QCheckBox(caption, parent) {
    setObjectName(name);
    connect(this, &QCheckBox::stateChanged, this, [this] {
        const int v = Value();
        if (v != last_) {
            last_ = v;
            emit Click();
        }
    });
}

int CheckBox::Value() const {
    switch (checkState()) {
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    default: return 0;
    }
}

void CheckBox::setValue(int value) {
    switch (value) {
    case 0: setCheckState(Qt::Unchecked); break;
    case 1: setCheckState(Qt::Checked); break;
    case 2: setCheckState(Qt::PartiallyChecked); break;
    default: throw ControlError("Invalid property value");
    }
}

void CheckBox::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

OptionButton::OptionButton(const QString& caption, QWidget* parent, const QString& name)
    : QRadioButton(caption, parent) {
    setObjectName(name);
    connect(this, &QRadioButton::toggled, this, [this](bool on) {
        settleTabStops();
        if (on)
            emit Click();
    });
}

void OptionButton::settleTabStops() {
    if (!parentWidget())
        return;
    const auto group = parentWidget()->findChildren<OptionButton*>(Qt::FindDirectChildrenOnly);
    const bool anySelected = std::any_of(group.begin(), group.end(), [](auto* b) { return b->isChecked(); });
    for (OptionButton* b : group)
        b->setFocusPolicy(!anySelected || b->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
}

void OptionButton::setValue(bool selected) {
    if (selected) {
        if (isChecked())
            emit Click();
        else
            setChecked(true);
        return;
    }
    if (!isChecked())
        return;
    setAutoExclusive(false);
    setChecked(false);
    setAutoExclusive(true);
    settleTabStops();
}

TextBox::TextBox(const QString& text, QWidget* parent, const QString& name)
    : QLineEdit(parent) {
    setObjectName(name);
    setMaxLength(std::numeric_limits<int>::max());
    setText(text);
    connect(this, &QLineEdit::textChanged, this, &TextBox::Change);
}

void TextBox::showRead(const QString& text, const std::optional<reg::RawValue>& raw) {
    asRead.forget();
    setText(text);
    asRead.remember(Text().toStdString(), raw);
}

void TextBox::showValue(reg::cRegistry& r) {
    asRead.forget();
    const reg::RegVariant value = r.Value();
    const std::optional<reg::RawValue> raw = r.LastRead();
    showRead(CStr(value), raw);
}

Slider::Slider(QWidget* parent, const QString& name) : QSlider(Qt::Horizontal, parent) {
    setObjectName(name);
    setTickPosition(QSlider::TicksBelow);
    connect(this, &QSlider::valueChanged, this, &Slider::Change);
    connect(this, &QSlider::valueChanged, this, &Slider::valueShown);
    connect(this, &QSlider::sliderMoved, this, [this] {
        QToolTip::showText(QCursor::pos(), valueText(), this);
    });
    valueShown();
}

void Slider::setUnit(const QString& unit) {
    unit_ = unit;
    valueShown();
}

void Slider::showValueIn(QLabel* label) {
    label_ = label;
    valueShown();
}

QString Slider::valueText() const {
    const QString n = QLocale().toString(value());
    return unit_.isEmpty() ? n : n + QLatin1Char(' ') + unit_;
}

void Slider::valueShown() {
    setToolTip(valueText());
    if (label_)
        label_->setText(valueText());
}

void Slider::setLimits(int min, int max, int smallChange, int largeChange, int tickFrequency) {
    setRange(min, max);
    setSingleStep(smallChange);
    setPageStep(largeChange);
    setTickInterval(tickFrequency);
}

void Slider::setValue(int v) {
    if (v < minimum() || v > maximum())
        throw ControlError("Invalid property value");
    QSlider::setValue(v);
}

ScrollBar::ScrollBar(QWidget* parent, const QString& name) : QScrollBar(Qt::Vertical, parent) {
    setObjectName(name);
    connect(this, &QScrollBar::valueChanged, this, &ScrollBar::Change);
}

void ScrollBar::setLimits(int min, int max) {
    const int v = Value();
    min_ = min;
    max_ = max;
    // Qt's minimum is always the top and its up arrow lowers its value. A range given top-down
    // is kept negated inside, so that every control of the bar (arrows, keys, wheel, dragging)
    // moves towards Min upwards.
    sign_ = min > max ? -1 : 1;
    QSignalBlocker quiet(this);
    setRange(sign_ * min, sign_ * max);
    QScrollBar::setValue(sign_ * v);
    setSingleStep(1);
}

void ScrollBar::setValue(int v) {
    if (v < std::min(min_, max_) || v > std::max(min_, max_))
        throw ControlError("Invalid property value");
    QScrollBar::setValue(sign_ * v);
}

namespace {

// Some dark themes draw an item's unticked check box as nothing at all: an outline in the text
// colour shows where to click.
class VisibleChecksStyle : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement pe, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        QProxyStyle::drawPrimitive(pe, option, painter, widget);
        if (pe != PE_IndicatorItemViewItemCheck || !(option->state & State_Off) || !isDark(option->palette))
            return;
        painter->save();
        QColor c = option->palette.color(QPalette::Text);
        c.setAlphaF(option->state & State_Enabled ? 0.7f : 0.35f);
        painter->setPen(c);
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option->rect.adjusted(1, 1, -2, -2));
        painter->restore();
    }
};

void showUntickedBoxes(QListWidget* list) {
    auto* checks = new VisibleChecksStyle;
    checks->setParent(list);
    list->setStyle(checks);
}

}  // namespace

CheckListBox::CheckListBox(QWidget* parent, const QString& name) : QListWidget(parent) {
    setObjectName(name);
    showUntickedBoxes(this);
    connect(this, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        emit ItemCheck(row(item));
    });
}

void CheckListBox::Clear() { clear(); }

void CheckListBox::AddItem(const QString& text) {
    auto* item = new QListWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
    QSignalBlocker quiet(this);  // adding is not checking
    addItem(item);
}

QString CheckListBox::List(int i) const {
    if (i < 0 || i >= count())
        throw ControlError("Invalid property array index");
    return item(i)->text();
}

bool CheckListBox::Selected(int i) const {
    if (i < 0 || i >= count())
        throw ControlError("Invalid property array index");
    return item(i)->checkState() == Qt::Checked;
}

void CheckListBox::setSelected(int i, bool on) {
    if (i < 0 || i >= count())
        throw ControlError("Invalid property array index");
    item(i)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

void CheckListBox::mouseReleaseEvent(QMouseEvent* e) {
    QListWidget::mouseReleaseEvent(e);
    emit MouseUp(e->button(), e->position().toPoint());
}

void CheckListBox::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Menu || (e->key() == Qt::Key_F10 && e->modifiers() == Qt::ShiftModifier)) {
        e->accept();
        keyboardMenu();
        return;
    }
    QListWidget::keyPressEvent(e);
}

void CheckListBox::contextMenuEvent(QContextMenuEvent* e) {
    // A right click is reported by MouseUp already; only the keyboard's request is new here.
    if (e->reason() == QContextMenuEvent::Keyboard) {
        e->accept();
        keyboardMenu();
        return;
    }
    QListWidget::contextMenuEvent(e);
}

void CheckListBox::keyboardMenu() {
    QListWidgetItem* item = currentItem();
    const QRect r = item ? visualItemRect(item) : QRect();
    emit MouseUp(Qt::RightButton, item ? r.center() : QPoint(4, 4));
}

void CheckListView::setEmptyText(const QString& text) {
    emptyText_ = text;
    viewport()->update();
}

void CheckListView::paintEvent(QPaintEvent* e) {
    QListWidget::paintEvent(e);
    if (!showsEmptyText())
        return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::PlaceholderText));
    p.drawText(viewport()->rect().adjusted(8, 8, -8, -8), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
               emptyText_);
}

CheckListView::CheckListView(QWidget* parent, const QString& name) : QListWidget(parent) {
    setObjectName(name);
    showUntickedBoxes(this);
    connect(this, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        emit ItemCheck(row(item));
    });
}

void CheckListView::Clear() {
    clear();
    byKey_.clear();
}

int CheckListView::Add(const QString& key, const QString& text) {
    const QString folded = key.toCaseFolded();
    if (byKey_.contains(folded))
        throw ControlError("Key is not unique in collection");
    auto* item = new QListWidgetItem(text);
    item->setData(Qt::UserRole, key);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
    {
        QSignalBlocker quiet(this);
        addItem(item);
    }
    byKey_.insert(folded, item);
    return count() - 1;
}

int CheckListView::Find(const QString& key) const {
    auto* item = byKey_.value(key.toCaseFolded());
    return item ? row(item) : -1;
}

QListWidgetItem* CheckListView::at(int i) const {
    if (i < 0 || i >= count())
        throw ControlError("Index out of bounds");
    return item(i);
}

void CheckListView::Remove(int i) {
    QListWidgetItem* item = at(i);
    byKey_.remove(item->data(Qt::UserRole).toString().toCaseFolded());
    QSignalBlocker quiet(this);
    delete takeItem(i);
}

QString CheckListView::Key(int i) const { return at(i)->data(Qt::UserRole).toString(); }

void CheckListView::setKey(int i, const QString& key) {
    QListWidgetItem* item = at(i);
    const QString oldFolded = item->data(Qt::UserRole).toString().toCaseFolded();
    const QString folded = key.toCaseFolded();
    if (folded != oldFolded && byKey_.contains(folded))
        throw ControlError("Key is not unique in collection");
    byKey_.remove(oldFolded);
    byKey_.insert(folded, item);
    QSignalBlocker quiet(this);
    item->setData(Qt::UserRole, key);
}

QString CheckListView::Text(int i) const { return at(i)->text(); }
bool CheckListView::Checked(int i) const { return at(i)->checkState() == Qt::Checked; }
void CheckListView::setChecked(int i, bool on) {
    at(i)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

// ---- message boxes --------------------------------------------------------------------------

namespace {
MessageBoxHook g_msgHook;
FileDialogHook g_fileHook;
UrlHook g_urlHook;
bool g_interactive = true;
QStringList g_refused;
int g_pointer = vbDefault;
}  // namespace

void setMessageBoxHook(MessageBoxHook hook) { g_msgHook = std::move(hook); }

int MsgBox(const QString& text, int style, const QString& title) {
    MessageBoxRequest req;
    req.text = text;
    req.title = title.isEmpty() ? App::Title() : title;
    req.style = style;
    const int buttons = style & 7;
    const int defIndex = (style >> 8) & 3;
    QList<int> order;
    switch (buttons) {
    case vbOKCancel: order = {vbOK, vbCancel}; req.escapeResult = vbCancel; break;
    case vbYesNoCancel: order = {vbYes, vbNo, vbCancel}; req.escapeResult = vbCancel; break;
    case vbYesNo: order = {vbYes, vbNo}; req.escapeResult = vbNo; break;
    default: order = {vbOK}; req.escapeResult = vbOK; break;
    }
    req.defaultResult = order.value(defIndex, order.first());
    if (g_msgHook)
        return g_msgHook(req);

    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(req.title);
    box.setText(text);
    switch (style & 0x70) {
    case vbCritical: box.setIcon(QMessageBox::Critical); break;
    case vbQuestion: box.setIcon(QMessageBox::Question); break;
    case vbExclamation: box.setIcon(QMessageBox::Warning); break;
    case vbInformation: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    QHash<QAbstractButton*, int> results;
    for (int r : order) {
        QPushButton* b = nullptr;
        switch (r) {
        case vbOK: b = box.addButton(QMessageBox::Ok); break;
        case vbCancel: b = box.addButton(QMessageBox::Cancel); break;
        case vbYes: b = box.addButton(QMessageBox::Yes); break;
        case vbNo: b = box.addButton(QMessageBox::No); break;
        }
        results.insert(b, r);
        if (r == req.defaultResult)
            box.setDefaultButton(b);
        if (r == req.escapeResult)
            box.setEscapeButton(b);
    }
    box.exec();
    return results.value(box.clickedButton(), req.escapeResult);
}

// ---- mouse pointer --------------------------------------------------------------------------

int MousePointer() { return g_pointer; }

void setMousePointer(int shape) {
    if (shape == g_pointer)
        return;
    if (g_pointer != vbDefault)
        QGuiApplication::restoreOverrideCursor();
    g_pointer = shape == vbHourglass ? vbHourglass : vbDefault;
    if (g_pointer == vbHourglass)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

// ---- dialogs and the desktop ----------------------------------------------------------------

bool interactive() { return g_interactive; }
void setInteractive(bool on) { g_interactive = on; }
void noteRefusedDialog(const QString& what) { g_refused << what; }
QStringList takeRefusedDialogs() { return std::exchange(g_refused, {}); }

void setFileDialogHook(FileDialogHook hook) { g_fileHook = std::move(hook); }

void CommonDialog::ShowOpen(QWidget* owner) {
    std::optional<QString> chosen;
    if (g_fileHook) {
        chosen = g_fileHook(*this);
    } else if (!g_interactive) {
        noteRefusedDialog(QStringLiteral("file dialog"));
    } else {
        // "Text|pattern|Text|pattern" becomes Qt's "Text (pattern);;Text (pattern)".
        const QStringList parts = Filter.split(QLatin1Char('|'));
        QStringList filters;
        for (int i = 0; i + 1 < parts.size(); i += 2) {
            QString text = parts[i];
            const QString pattern = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
            if (!text.contains(QLatin1Char('(')))
                text += QStringLiteral(" (%1)").arg(pattern);
            filters << text;
        }
        const QString file = QFileDialog::getOpenFileName(owner, QString(), FileName,
                                                          filters.join(QStringLiteral(";;")));
        if (!file.isEmpty())
            chosen = file;
    }
    if (!chosen) {
        if (CancelError)
            throw DialogCancelled();
        return;
    }
    FileName = *chosen;
}

void setUrlHook(UrlHook hook) { g_urlHook = std::move(hook); }

void openUrl(const QUrl& url) {
    if (g_urlHook)
        g_urlHook(url);
    else
        QDesktopServices::openUrl(url);
}

// ---- conversions ----------------------------------------------------------------------------

double Val(std::string_view text) {
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
            ++i;
    };
    skipBlanks();
    if (i + 1 < text.size() && text[i] == '&') {
        const char r = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
        const int base = r == 'H' ? 16 : r == 'O' ? 8 : 0;
        if (base) {
            i += 2;
            int64_t v = 0;
            for (; i < text.size(); ++i) {
                const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
                int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
                if (d >= base)
                    break;
                v = v * base + d;
                if (v > 0xFFFFFFFFLL)
                    break;
            }
            // Hex and octal literals of up to 16 bits are signed 16-bit numbers, longer ones 32-bit.
            if (v <= 0xFFFF)
                return v > 0x7FFF ? double(v - 0x10000) : double(v);
            return v > 0x7FFFFFFF ? double(v - 0x100000000LL) : double(v);
        }
    }
    // Blanks inside the number are ignored, as Windows' Val does: " 1 2" is 12.
    std::string digits;
    bool seenDigit = false, seenPoint = false, seenExp = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if ((c == '+' || c == '-') && (digits.empty() || digits.back() == 'e')) {
            digits += c;
        } else if (c >= '0' && c <= '9') {
            digits += c;
            seenDigit = true;
        } else if (c == '.' && !seenPoint && !seenExp) {
            digits += c;
            seenPoint = true;
        } else if ((c == 'e' || c == 'E' || c == 'd' || c == 'D') && seenDigit && !seenExp) {
            digits += 'e';
            seenExp = true;
        } else {
            break;
        }
    }
    while (!digits.empty() && (digits.back() == 'e' || digits.back() == '+' || digits.back() == '-'))
        digits.pop_back();
    if (!seenDigit)
        return 0;
    try {
        return std::stod(digits);
    } catch (...) {
        return 0;
    }
}

double roundHalfEven(double v) { return std::nearbyint(v); }

namespace {

// A text converts only when it is a number as a whole (blanks around it allowed).
double numberOfText(const std::string& s) {
    const QString t = QString::fromStdString(s).trimmed();
    bool ok = false;
    double d = t.toDouble(&ok);
    if (!ok && t.size() > 2 && t[0] == QLatin1Char('&')) {
        const QChar r = t[1].toUpper();
        if (r == QLatin1Char('H') || r == QLatin1Char('O')) {
            t.mid(2).toLongLong(&ok, r == QLatin1Char('H') ? 16 : 8);
            if (ok)
                d = Val(s);
        }
    }
    if (!ok)
        throw ConversionError("Type mismatch");
    return d;
}

double numberOf(const reg::RegVariant& v) {
    if (std::holds_alternative<std::monostate>(v))
        return 0;
    if (const auto* s = std::get_if<std::string>(&v))
        return numberOfText(*s);
    if (const auto* l = std::get_if<int32_t>(&v))
        return *l;
    if (const auto* i = std::get_if<int16_t>(&v))
        return *i;
    throw ConversionError("Type mismatch");
}

}  // namespace

int16_t CInt(const reg::RegVariant& v) {
    const double d = roundHalfEven(numberOf(v));
    if (!(d >= std::numeric_limits<int16_t>::min() && d <= std::numeric_limits<int16_t>::max()))
        throw ConversionError("Overflow");
    return static_cast<int16_t>(d);
}

int32_t CLng(const reg::RegVariant& v) {
    const double d = roundHalfEven(numberOf(v));
    if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max()))
        throw ConversionError("Overflow");
    return static_cast<int32_t>(d);
}

QString CStr(const reg::RegVariant& v) { return QString::fromStdString(reg::variantToText(v)); }

}  // namespace qv::tk
