// Every named control of the main window, addressed by its name: what kind it is, its value,
// whether it is enabled and visible, and how a user would set or press it. Scripting mode and the
// tests drive the window through this, so a page's controls need no code of their own here.
#pragma once

#include <QPointer>
#include <QString>
#include <stdexcept>
#include <vector>

namespace qv {
struct ControlChange;
}

class QMainWindow;
class QMenu;
class QObject;
class QWidget;

namespace qv::ctl {

// What the control list needs of the window it walks: the window, its option pages' frames, the
// pop-up menu that no menu bar shows, and the page on screen.
class ControlHost {
public:
    virtual QMainWindow* hostWindow() = 0;
    virtual QWidget* pageFrame(int node) const = 0;  // 1..33
    virtual QMenu* popupMenu() const = 0;
    virtual int currentPage() const = 0;
    virtual void showPage(int node) = 0;

protected:
    ~ControlHost() = default;
};

// A name that is not a control, a value the control cannot take, an action it does not offer.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Control {
    QString name;           // objectName, or "list[KEY]" for a list-view entry
    int page = 0;           // the option page (node) it lives on; 0 for the window's own
    QString kind;           // form, menu, menuitem, separator, button, label, line, image, tree,
                            // frame, checkbox, option, textbox, slider, scrollbar, listbox,
                            // listview, listitem, widget
    QPointer<QObject> object;
    QString entryKey;       // list-view entries
};

// In the window's order: the form, its menus, its own controls, then page 1 to 33 each with its
// frame first.
std::vector<Control> listControls(ControlHost& form);
Control findControl(ControlHost& form, const QString& name);  // throws UsageError

QString valueOf(const Control& c);
QString textOf(const Control& c);  // list-view entries: their text; others: empty
bool isNumeric(const Control& c);  // whether the value is a number
bool enabledOf(const Control& c);
bool visibleOf(ControlHost& form, const Control& c);
QWidget* widgetOf(ControlHost& form, const Control& c);  // what --grab draws

// As a user would: the control's page is shown first, and it must be enabled and visible.
void setControl(ControlHost& form, const Control& c, const QString& value);  // throws UsageError
void clickControl(ControlHost& form, const Control& c);                      // throws UsageError

// Words for settings that changed: each one's label and its before and after as its page shows
// them ("400 ms", "enabled"), from the raw values the control list gives. The options of one group
// become one change from the option chosen before to the one chosen now; a list's count goes, as
// its entries speak for it.
void wordChanges(ControlHost& form, std::vector<ControlChange>* changes);

// Gives every control under root that a screen reader would meet without a name the text of
// its label: the label whose buddy it is, else the label just left of it or just above it, else
// its frame's caption. Access-key marks and a closing colon are dropped.
void nameControlsFromLabels(QWidget* root);

}  // namespace qv::ctl
