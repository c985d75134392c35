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

class QApplication;

namespace qv::tk {

// ---- geometry -------------------------------------------------------------------------------

// 15 twips make one logical pixel; Qt scales logical pixels for high-dpi screens.
constexpr int px(int twips) { return (twips * 2 + 15) / 30; }
// Places w at a twip rectangle relative to its parent.
void place(QWidget* w, int left, int top, int width, int height);

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
// was selected; clearing it by code is allowed (Qt's exclusive buttons refuse that).
class OptionButton : public QRadioButton {
    Q_OBJECT
public:
    OptionButton(const QString& caption, QWidget* parent, const QString& name = {});
    bool Value() const { return isChecked(); }
    void setValue(bool selected);
signals:
    void Click();
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

// Slider whose Value is exact: a value outside Min..Max throws instead of being clamped.
class Slider : public QSlider {
    Q_OBJECT
public:
    Slider(QWidget* parent, const QString& name = {});
    void setLimits(int min, int max, int smallChange, int largeChange, int tickFrequency);
    int Value() const { return value(); }
    void setValue(int v);  // throws ControlError out of range; hides the clamping one
signals:
    void Change();
};

// Vertical scroll bar. Min may be above Max (the top arrow then raises the value); Value out of
// range throws; Tag is a free text the handlers use as a marker.
class ScrollBar : public QScrollBar {
    Q_OBJECT
public:
    ScrollBar(QWidget* parent, const QString& name = {});
    void setLimits(int min, int max);
    int Min() const { return min_; }
    int Max() const { return max_; }
    int Value() const { return value(); }
    void setValue(int v);  // throws ControlError out of range; hides the clamping one
    QString Tag;
signals:
    void Change();

private:
    int min_ = 0, max_ = 32767;
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
    void MouseUp(Qt::MouseButton button, QPoint pos);

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
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
signals:
    void ItemCheck(int index);

private:
    QListWidgetItem* at(int i) const;
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
