#include "app/toolkit.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <cmath>
#include <limits>

#include "app/artwork.h"

#ifndef QV_VERSION_MAJOR
#define QV_VERSION_MAJOR 1
#define QV_VERSION_MINOR 0
#define QV_VERSION_PATCH 25
#endif

namespace qv::tk {

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

void setupApplication(QApplication& app) {
    QCoreApplication::setApplicationName(QStringLiteral("quorvel"));
    QCoreApplication::setApplicationVersion(App::Version());
    QGuiApplication::setApplicationDisplayName(App::Title());
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvel"));
    QGuiApplication::setWindowIcon(art::applicationIcon());
    // The layout is measured for an 8-point dialog font, as on the desktop it imitates.
    QFont f = app.font();
    f.setPointSizeF(8.25);
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
        if (on)
            emit Click();
    });
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
    min_ = min;
    max_ = max;
    // Qt wants its minimum at the top; a range given top-down is drawn and driven the other way.
    const bool inverted = min > max;
    setRange(std::min(min, max), std::max(min, max));
    setInvertedAppearance(inverted);
    setInvertedControls(inverted);
    setSingleStep(1);
}

void ScrollBar::setValue(int v) {
    if (v < minimum() || v > maximum())
        throw ControlError("Invalid property value");
    QScrollBar::setValue(v);
}

CheckListBox::CheckListBox(QWidget* parent, const QString& name) : QListWidget(parent) {
    setObjectName(name);
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

CheckListView::CheckListView(QWidget* parent, const QString& name) : QListWidget(parent) {
    setObjectName(name);
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
