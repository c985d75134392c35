// The window toolkit as the pages use it: twip geometry, controls whose values and events behave
// the same whether the user or the program changes them, message boxes, the mouse pointer, string
// resources, the program's own facts, and the common dialogs. Qt does several of these things
// differently out of the box (three-state check boxes, clamping sliders, radio buttons that cannot
// be cleared, no event for a re-selected radio button); the classes below settle them once.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QListWidget>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "registry/cregistry.h"
#include "registry/value.h"

class QAbstractItemView;
class QApplication;

namespace qv::tk {

// ---- geometry -------------------------------------------------------------------------------

// 15 twips make one logical pixel at the layout's own font size; a larger desktop font scales
// the layout with it (Qt scales logical pixels for high-dpi screens on top).
int px(int twips);
// How much larger than the layout's 8.25-point font the window's font is (1 at most desktops).
double fontScale();
// The scale for a desktop font of this many points: the layout stands for a desktop whose own
// font is at most 10 points; a larger one (chosen for legibility) grows the window alike.
double fontScaleFor(double desktopPointSize);
// Places w at a twip rectangle relative to its parent.
void place(QWidget* w, int left, int top, int width, int height);
// A size no larger than most of the screen w is on (or the primary one): dialogs must fit a
// small screen at a large scale.
QSize fitToScreen(const QWidget* w, QSize wanted);

// ---- failures -------------------------------------------------------------------------------

// A control refused what it was given: a value out of range, a duplicate key, an unknown index.
class ControlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A conversion that Windows would refuse ("type mismatch", "overflow").
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- the program ----------------------------------------------------------------------------

namespace App {
QString Title();    // the one-word application title, also the title of every message box
QString Path();     // the folder the program runs from
QString EXEName();  // the program's file name without extension
int Major();
int Minor();
int Revision();
QString Version();  // "major.minor.revision"
}  // namespace App

// The program's numbered strings; throws ControlError for a number it does not have.
QString LoadResString(int id);

// Shows a tree node's full text as its tooltip when the view cuts it off, and no tooltip when
// the text shows whole.
void showCutOffTextAsToolTip(QAbstractItemView* view);
// The text a tooltip request at pos (viewport coordinates) shows; empty when none is due.
QString cutOffText(QAbstractItemView* view, QPoint pos);

// Whether a palette is a dark theme's (light text on a dark window): fixed colours chosen for a
// light window give way to the palette's own then.
bool isDark(const QPalette& palette);

// Qt's own command-line options (-style fusion, -platform xcb, -reverse, --display :1, ...),
// split from the program's: qt gets them for QApplication, the rest is the program's in order.
struct SplitArguments {
    QStringList qt;
    QStringList own;
};
SplitArguments splitQtArguments(const QStringList& args);

// Application-wide settings every entry point shares (font, icon, names); call once after the
// QApplication exists.
void setupApplication(QApplication& app);

// ---- controls -------------------------------------------------------------------------------

// A frame (group box). Visible() is the control's own flag, not whether the window is on screen.
class Frame : public QGroupBox {
    Q_OBJECT
public:
    Frame(const QString& caption, QWidget* parent, const QString& name = {});
    QString Caption() const { return title(); }
    void setCaption(const QString& caption) { setTitle(caption); }
    bool Visible() const { return !isHidden(); }
};

// A label that wraps its text, as the window's labels do.
QLabel* makeLabel(const QString& text, QWidget* parent, const QString& name = {});

// A horizontal rule drawn in one colour, one pixel high.
QWidget* makeLine(QWidget* parent, const QString& name, QColor colour, int x1, int y, int x2);

// Check box holding 0 (clear), 1 (checked) or 2 (greyed). Click runs on every change of Value,
// whoever made it. A user's click toggles between 0 and 1 and turns a greyed box into 1.
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    CheckBox(const QString& caption, QWidget* parent, const QString& name = {});
    int Value() const;
    void setValue(int value);  // throws ControlError unless 0, 1 or 2
signals:
    void Click();

protected:
    void nextCheckState() override;

private:
    int last_ = 0;
};

// Option button. Selecting it by code runs Click as a user's click does, also when it already
// was selected; clearing it by code is allowed (Qt's exclusive buttons refuse that). The option
// buttons of one container are one group for the keyboard: Tab stops only at the selected one
// (at each while none is), the arrow keys move within the group.
class OptionButton : public QRadioButton {
    Q_OBJECT
public:
    OptionButton(const QString& caption, QWidget* parent, const QString& name = {});
    bool Value() const { return isChecked(); }
    void setValue(bool selected);
signals:
    void Click();

private:
    void settleTabStops();
};

// Text box; Change runs on every change of the text, typed or set.
class TextBox : public QLineEdit {
    Q_OBJECT
public:
    // Takes any length the registry holds (a line edit stops at 32,767 characters by default).
    TextBox(const QString& text, QWidget* parent, const QString& name = {});
    QString Text() const { return text(); }
    // Shows text a load read, keeping the stored value it came from (none when there was none).
    void showRead(const QString& text, const std::optional<reg::RawValue>& raw);
    // Reads the value the accessor points at and shows it as text (see showRead). A value that
    // cannot be shown as text leaves the text alone, and nothing is remembered for it.
    void showValue(reg::cRegistry& r);
    // Writes the text where the accessor points: the stored value as it was read while the text is
    // still the one shown, else the text.
    void writeTo(reg::cRegistry& r) const { asRead.write(r, Text().toStdString()); }
    reg::TextAsRead asRead;
signals:
    void Change();
};

// Slider whose Value is exact: a value outside Min..Max throws instead of being clamped. It
// shows its value (with the unit given) as its tooltip, beside the pointer while dragged, and
// in a label when one is given.
class Slider : public QSlider {
    Q_OBJECT
public:
    Slider(QWidget* parent, const QString& name = {});
    void setLimits(int min, int max, int smallChange, int largeChange, int tickFrequency);
    int Value() const { return value(); }
    void setValue(int v);  // throws ControlError out of range; hides the clamping one
    void setUnit(const QString& unit);
    const QString& unit() const { return unit_; }
    void showValueIn(QLabel* label);
    QString valueText() const;
signals:
    void Change();

private:
    void valueShown();
    QString unit_;
    QLabel* label_ = nullptr;
};

// Vertical scroll bar. Min may be above Max: Min is always the top, so the up arrow (and the Up
// key, and the wheel turned up) moves towards Min. Value out of range throws; Tag is a free text
// the handlers use as a marker. Use Value and setValue: QScrollBar's value is mirrored when Min
// is above Max.
class ScrollBar : public QScrollBar {
    Q_OBJECT
public:
    ScrollBar(QWidget* parent, const QString& name = {});
    void setLimits(int min, int max);
    int Min() const { return min_; }
    int Max() const { return max_; }
    int Value() const { return sign_ * value(); }
    void setValue(int v);  // throws ControlError out of range; hides the clamping one
    QString Tag;
signals:
    void Change();

private:
    int min_ = 0, max_ = 32767;
    int sign_ = 1;  // -1: Qt's value is the negated Value, so that Qt's top is Min
};

// List box whose entries carry check boxes. Selected(i) is entry i's check mark; ItemCheck runs
// for every change of a mark; MouseUp reports the button released over the list.
class CheckListBox : public QListWidget {
    Q_OBJECT
public:
    CheckListBox(QWidget* parent, const QString& name = {});
    void Clear();
    void AddItem(const QString& text);
    int ListCount() const { return count(); }
    QString List(int i) const;          // throws ControlError for a bad index
    bool Selected(int i) const;         // throws ControlError for a bad index
    void setSelected(int i, bool on);   // throws ControlError for a bad index
signals:
    void ItemCheck(int index);
    // Also sent as a right button for the keyboard's context-menu keys (Shift+F10, Menu), at
    // the current entry.
    void MouseUp(Qt::MouseButton button, QPoint pos);

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    void keyboardMenu();
};

// List view whose entries carry check boxes and a unique key (compared without regard to case,
// as registry paths are). Adding or re-keying to a key that is taken throws ControlError.
class CheckListView : public QListWidget {
    Q_OBJECT
public:
    CheckListView(QWidget* parent, const QString& name = {});
    void Clear();
    int Count() const { return count(); }
    int Add(const QString& key, const QString& text);  // returns the new entry's index
    int Find(const QString& key) const;                // -1 when absent
    void Remove(int i);
    QString Key(int i) const;
    void setKey(int i, const QString& key);
    QString Text(int i) const;
    bool Checked(int i) const;
    void setChecked(int i, bool on);
    // A line shown in the empty list, saying why it is empty.
    void setEmptyText(const QString& text);
    QString EmptyText() const { return emptyText_; }
    bool showsEmptyText() const { return count() == 0 && !emptyText_.isEmpty(); }
signals:
    void ItemCheck(int index);

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QListWidgetItem* at(int i) const;
    QString emptyText_;
    QHash<QString, QListWidgetItem*> byKey_;
};

// ---- message boxes --------------------------------------------------------------------------

enum MsgBoxStyle : int {
    vbOKOnly = 0, vbOKCancel = 1, vbYesNoCancel = 3, vbYesNo = 4,
    vbCritical = 16, vbQuestion = 32, vbExclamation = 48, vbInformation = 64,
    vbDefaultButton1 = 0, vbDefaultButton2 = 256, vbDefaultButton3 = 512,
};
enum MsgBoxResult : int { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

struct MessageBoxRequest {
    QString text;
    QString title;
    int style = vbOKOnly;
    int defaultResult = vbOK;  // the answer Enter would give
    int escapeResult = vbOK;   // the answer Esc or the close box would give
};
// Answers message boxes instead of showing them (tests, scripting mode); an empty hook shows
// real ones again.
using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;
void setMessageBoxHook(MessageBoxHook hook);

// Shows a modal message box titled with App::Title() unless a title is given.
int MsgBox(const QString& text, int style = vbOKOnly, const QString& title = {});

// ---- mouse pointer --------------------------------------------------------------------------

enum MousePointerShape : int { vbDefault = 0, vbHourglass = 11 };
int MousePointer();
void setMousePointer(int shape);

// ---- dialogs and the desktop ----------------------------------------------------------------

// Whether dialogs may be shown. Scripting mode turns it off: a dialog then behaves as cancelled
// and is noted, so the caller can tell the user that the action needs the window.
bool interactive();
void setInteractive(bool on);
void noteRefusedDialog(const QString& what);
QStringList takeRefusedDialogs();

// The file-open dialog: FileName, CancelError, Filter ("text|pattern|..." pairs), Flags.
class DialogCancelled : public std::runtime_error {
public:
    DialogCancelled() : std::runtime_error("Cancel was selected.") {}
};
struct CommonDialog {
    QString FileName;
    bool CancelError = false;
    QString Filter;
    int Flags = 0;
    // Shows the dialog; on Cancel throws DialogCancelled when CancelError is set.
    void ShowOpen(QWidget* owner);
};
// Answers file dialogs instead of showing them: nothing means Cancel.
using FileDialogHook = std::function<std::optional<QString>(const CommonDialog&)>;
void setFileDialogHook(FileDialogHook hook);

// Opens a web page or mail address with the desktop's handler; the hook sees it instead.
using UrlHook = std::function<void(const QUrl&)>;
void setUrlHook(UrlHook hook);
void openUrl(const QUrl& url);

// ---- conversions as Windows programs make them ----------------------------------------------

// The number a text begins with (blanks skipped, "&H" hex and "&O" octal allowed); 0 without one.
double Val(std::string_view text);
// Round half to even, as the conversions do.
double roundHalfEven(double v);
// 16- and 32-bit conversions of a registry value; empty gives 0, a text must be a number, a byte
// array never converts. Throw ConversionError.
int16_t CInt(const reg::RegVariant& v);
int32_t CLng(const reg::RegVariant& v);
// Text form of a value (see reg::variantToText).
QString CStr(const reg::RegVariant& v);

}  // namespace qv::tk
