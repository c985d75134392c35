#include "app/controls.h"

#include <QMainWindow>

#include <algorithm>
#include <limits>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QHash>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QTreeWidget>

#include "app/nodes.h"
#include "app/session/review.h"
#include "app/toolkit.h"

namespace qv::ctl {

namespace {

QString kindOf(QObject* o) {
    if (qobject_cast<QMenu*>(o))
        return QStringLiteral("menu");
    if (auto* a = qobject_cast<QAction*>(o))
        return a->isSeparator() ? QStringLiteral("separator") : QStringLiteral("menuitem");
    if (qobject_cast<QCheckBox*>(o))
        return QStringLiteral("checkbox");
    if (qobject_cast<QRadioButton*>(o))
        return QStringLiteral("option");
    if (qobject_cast<QAbstractButton*>(o))
        return QStringLiteral("button");
    if (qobject_cast<QLineEdit*>(o))
        return QStringLiteral("textbox");
    if (qobject_cast<QSlider*>(o))
        return QStringLiteral("slider");
    if (qobject_cast<QAbstractSlider*>(o))
        return QStringLiteral("scrollbar");
    if (qobject_cast<tk::CheckListView*>(o))
        return QStringLiteral("listview");
    if (qobject_cast<QListWidget*>(o))
        return QStringLiteral("listbox");
    if (qobject_cast<QTreeWidget*>(o))
        return QStringLiteral("tree");
    if (qobject_cast<QGroupBox*>(o))
        return QStringLiteral("frame");
    if (auto* l = qobject_cast<QLabel*>(o))
        return l->pixmap().isNull() ? QStringLiteral("label") : QStringLiteral("image");
    if (qobject_cast<QMainWindow*>(o))
        return QStringLiteral("form");
    if (auto* w = qobject_cast<QWidget*>(o); w && w->height() == 1 && w->autoFillBackground())
        return QStringLiteral("line");
    return QStringLiteral("widget");
}

bool listable(QObject* o) {
    const QString n = o->objectName();
    return !n.isEmpty() && !n.startsWith(QLatin1String("qt_")) && n != QLatin1String("frmMainClient");
}

int pageOf(ControlHost& form, QObject* o) {
    for (QObject* p = o; p && p != form.hostWindow(); p = p->parent())
        for (int i = 1; i <= kNodeCount; ++i)
            if (p == form.pageFrame(i))
                return i;
    return 0;
}

void add(std::vector<Control>& out, ControlHost& form, QObject* o) {
    Control c;
    c.name = o->objectName();
    c.page = pageOf(form, o);
    c.kind = kindOf(o);
    c.object = o;
    out.push_back(c);
    if (auto* lv = qobject_cast<tk::CheckListView*>(o)) {
        for (int i = 0; i < lv->Count(); ++i) {
            Control e;
            e.name = c.name + QLatin1Char('[') + lv->Key(i) + QLatin1Char(']');
            e.page = c.page;
            e.kind = QStringLiteral("listitem");
            e.object = o;
            e.entryKey = lv->Key(i);
            out.push_back(e);
        }
    }
}

// Depth-first in creation order; a list view's items are its own business.
void walk(std::vector<Control>& out, ControlHost& form, QObject* o, QSet<QObject*>& seen) {
    for (QObject* child : o->children()) {
        if (!child->isWidgetType() || seen.contains(child))
            continue;
        seen.insert(child);
        if (listable(child))
            add(out, form, child);
        if (!qobject_cast<QListWidget*>(child) && !qobject_cast<QTreeWidget*>(child))
            walk(out, form, child, seen);
    }
}

void addMenu(std::vector<Control>& out, ControlHost& form, QMenu* menu) {
    add(out, form, menu);
    for (QAction* a : menu->actions()) {
        if (a->menu())
            addMenu(out, form, a->menu());
        else if (listable(a))
            add(out, form, a);
    }
}

QWidget* asWidget(const Control& c) { return qobject_cast<QWidget*>(c.object.data()); }

void showPage(ControlHost& form, const Control& c) {
    if (c.page > 0 && form.currentPage() != c.page)
        form.showPage(c.page);
}

void requireUsable(ControlHost& form, const Control& c) {
    if (!enabledOf(c))
        throw UsageError(c.name.toStdString() + " is disabled");
    if (!visibleOf(form, c))
        throw UsageError(c.name.toStdString() + " is not visible");
}

[[noreturn]] void badValue(const Control& c, const QString& value, const char* expected) {
    throw UsageError("bad value '" + value.toStdString() + "' for " + c.name.toStdString() +
                     " (" + c.kind.toStdString() + "): expected " + expected);
}

int integerValue(const Control& c, const QString& value, const char* expected) {
    bool ok = false;
    const int v = value.trimmed().toInt(&ok);
    if (!ok)
        badValue(c, value, expected);
    return v;
}

}  // namespace

std::vector<Control> listControls(ControlHost& form) {
    std::vector<Control> out;
    add(out, form, form.hostWindow());
    for (QAction* a : form.hostWindow()->menuBar()->actions())
        if (a->menu())
            addMenu(out, form, a->menu());
    addMenu(out, form, form.popupMenu());

    QSet<QObject*> seen;
    for (int i = 1; i <= kNodeCount; ++i)
        seen.insert(form.pageFrame(i));
    // The window's own controls first, then the pages in node order.
    QWidget* client = form.hostWindow()->centralWidget();
    walk(out, form, client, seen);
    for (int i = 1; i <= kNodeCount; ++i) {
        add(out, form, form.pageFrame(i));
        walk(out, form, form.pageFrame(i), seen);
    }
    return out;
}

Control findControl(ControlHost& form, const QString& name) {
    // The list's name holds no "[": the entry's key is everything between the first "[" and the
    // last "]", brackets of its own included.
    static const QRegularExpression entry(QStringLiteral("^([^\\[]+)\\[(.*)\\]$"),
                                          QRegularExpression::DotMatchesEverythingOption);
    if (const auto m = entry.match(name); m.hasMatch()) {
        const QString list = m.captured(1);
        for (const Control& c : listControls(form))
            if (c.kind == QLatin1String("listview") && c.name == list) {
                auto* lv = qobject_cast<tk::CheckListView*>(c.object.data());
                const int i = lv->Find(m.captured(2));
                if (i < 0)
                    throw UsageError("unknown entry '" + m.captured(2).toStdString() + "' in " +
                                     list.toStdString());
                Control e = c;
                e.name = list + QLatin1Char('[') + lv->Key(i) + QLatin1Char(']');
                e.kind = QStringLiteral("listitem");
                e.entryKey = lv->Key(i);
                return e;
            }
    }
    for (const Control& c : listControls(form))
        if (c.name == name && c.kind != QLatin1String("listitem"))
            return c;
    throw UsageError("unknown control '" + name.toStdString() + "' (--list shows them all)");
}

QString valueOf(const Control& c) {
    QObject* o = c.object.data();
    if (!o)
        return {};
    if (c.kind == QLatin1String("listitem")) {
        auto* lv = qobject_cast<tk::CheckListView*>(o);
        const int i = lv->Find(c.entryKey);
        return i < 0 ? QString() : QString::number(lv->Checked(i) ? 1 : 0);
    }
    if (auto* tb = qobject_cast<tk::CheckBox*>(o))
        return QString::number(tb->Value());
    if (auto* cb = qobject_cast<QCheckBox*>(o))
        return QString::number(cb->checkState() == Qt::Checked ? 1 : cb->checkState() == Qt::PartiallyChecked ? 2 : 0);
    if (auto* rb = qobject_cast<QRadioButton*>(o))
        return QString::number(rb->isChecked() ? 1 : 0);
    if (auto* le = qobject_cast<QLineEdit*>(o))
        return le->text();
    if (auto* sb = qobject_cast<tk::ScrollBar*>(o))
        return QString::number(sb->Value());
    if (auto* sl = qobject_cast<QAbstractSlider*>(o))
        return QString::number(sl->value());
    if (auto* lv = qobject_cast<tk::CheckListView*>(o))
        return QString::number(lv->Count());
    if (auto* lb = qobject_cast<QListWidget*>(o)) {
        QStringList on;
        for (int i = 0; i < lb->count(); ++i)
            if (lb->item(i)->checkState() == Qt::Checked)
                on << lb->item(i)->text();
        return on.join(QLatin1Char(','));
    }
    if (auto* tv = qobject_cast<QTreeWidget*>(o)) {
        QTreeWidgetItem* item = tv->currentItem();
        const NodeInfo* n = item ? nodeByIndex(nodeIndexOf(item)) : nullptr;
        return n ? QString::fromLatin1(n->key) : QString();
    }
    if (auto* g = qobject_cast<QGroupBox*>(o))
        return g->title();
    if (auto* l = qobject_cast<QLabel*>(o))
        return l->pixmap().isNull() ? l->text() : QString();
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        return b->text();
    if (auto* m = qobject_cast<QMenu*>(o))
        return m->title();
    if (auto* a = qobject_cast<QAction*>(o))
        return a->text();
    if (auto* f = qobject_cast<QMainWindow*>(o))
        return f->windowTitle();
    return {};
}

QString textOf(const Control& c) {
    if (c.kind != QLatin1String("listitem") || !c.object)
        return {};
    auto* lv = qobject_cast<tk::CheckListView*>(c.object.data());
    const int i = lv->Find(c.entryKey);
    return i < 0 ? QString() : lv->Text(i);
}

bool isNumeric(const Control& c) {
    static const QSet<QString> numeric = {
        QStringLiteral("checkbox"), QStringLiteral("option"), QStringLiteral("slider"),
        QStringLiteral("scrollbar"), QStringLiteral("listitem"), QStringLiteral("listview")};
    return numeric.contains(c.kind);
}

bool enabledOf(const Control& c) {
    if (auto* w = qobject_cast<QWidget*>(c.object.data()))
        return w->isEnabled();
    if (auto* a = qobject_cast<QAction*>(c.object.data()))
        return a->isEnabled();
    return false;
}

bool visibleOf(ControlHost& form, const Control& c) {
    QObject* o = c.object.data();
    if (o == form.hostWindow())
        return !form.hostWindow()->isHidden();
    if (auto* m = qobject_cast<QMenu*>(o))
        return m->menuAction() && m->menuAction()->isVisible() &&
               form.hostWindow()->menuBar()->actions().contains(m->menuAction());
    if (auto* a = qobject_cast<QAction*>(o))
        return a->isVisible();
    if (auto* w = qobject_cast<QWidget*>(o))
        return w->isVisibleTo(form.hostWindow());
    return false;
}

QWidget* widgetOf(ControlHost& form, const Control& c) {
    if (c.object.data() == form.hostWindow())
        return form.hostWindow();
    return asWidget(c);
}

void setControl(ControlHost& form, const Control& c, const QString& value) {
    QObject* o = c.object.data();
    if (!o)
        throw UsageError(c.name.toStdString() + " no longer exists");
    if (c.kind == QLatin1String("tree")) {
        const NodeInfo* n = nodeByKey(value);
        bool isIndex = false;
        const int index = value.toInt(&isIndex);
        if (!n && isIndex)
            n = nodeByIndex(index);
        if (!n)
            badValue(c, value, "a node key such as Explorer$HideDrives, or its index 1..33");
        form.showPage(n->index);
        return;
    }
    showPage(form, c);
    if (c.kind == QLatin1String("listitem")) {
        requireUsable(form, c);
        auto* lv = qobject_cast<tk::CheckListView*>(o);
        const int v = integerValue(c, value, "0 or 1");
        if (v != 0 && v != 1)
            badValue(c, value, "0 or 1");
        lv->setChecked(lv->Find(c.entryKey), v == 1);
        return;
    }
    if (auto* cb = qobject_cast<QCheckBox*>(o)) {
        const int v = integerValue(c, value, "0, 1 or 2");
        if (v < 0 || v > 2)
            badValue(c, value, "0, 1 or 2");
        requireUsable(form, c);
        if (auto* tb = qobject_cast<tk::CheckBox*>(o))
            tb->setValue(v);
        else
            cb->setCheckState(v == 1 ? Qt::Checked : v == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
        return;
    }
    if (auto* rb = qobject_cast<QRadioButton*>(o)) {
        if (value.trimmed() != QLatin1String("1"))
            badValue(c, value, "1 (an option button is selected, never cleared)");
        requireUsable(form, c);
        if (auto* ob = qobject_cast<tk::OptionButton*>(o))
            ob->setValue(true);
        else
            rb->setChecked(true);
        return;
    }
    if (auto* le = qobject_cast<QLineEdit*>(o)) {
        requireUsable(form, c);
        if (le->isReadOnly())
            throw UsageError(c.name.toStdString() + " is read-only");
        le->setText(value);
        return;
    }
    if (auto* sl = qobject_cast<QAbstractSlider*>(o)) {
        const int v = integerValue(c, value, "an integer");
        // A scroll bar's own Value: Qt's is mirrored when its top is its maximum.
        auto* sb = qobject_cast<tk::ScrollBar*>(o);
        const int lo = sb ? std::min(sb->Min(), sb->Max()) : sl->minimum();
        const int hi = sb ? std::max(sb->Min(), sb->Max()) : sl->maximum();
        if (v < lo || v > hi)
            throw UsageError("bad value '" + value.toStdString() + "' for " + c.name.toStdString() +
                             ": outside " + std::to_string(lo) + ".." + std::to_string(hi));
        requireUsable(form, c);
        if (sb)
            sb->setValue(v);
        else
            sl->setValue(v);
        return;
    }
    if (qobject_cast<QListWidget*>(o) && !qobject_cast<tk::CheckListView*>(o)) {
        auto* lb = qobject_cast<QListWidget*>(o);
        QSet<int> wanted;
        for (const QString& part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            int found = -1;
            for (int i = 0; i < lb->count() && found < 0; ++i)
                if (lb->item(i)->text().compare(part.trimmed(), Qt::CaseInsensitive) == 0)
                    found = i;
            if (found < 0)
                badValue(c, value, "a comma-separated list of its entries, such as A:,C:");
            wanted.insert(found);
        }
        requireUsable(form, c);
        for (int i = 0; i < lb->count(); ++i) {
            const Qt::CheckState s = wanted.contains(i) ? Qt::Checked : Qt::Unchecked;
            if (lb->item(i)->checkState() != s)
                lb->item(i)->setCheckState(s);
        }
        return;
    }
    throw UsageError(c.name.toStdString() + " (" + c.kind.toStdString() +
                     ") cannot be set" +
                     (c.kind == QLatin1String("button") || c.kind == QLatin1String("menuitem")
                          ? std::string("; press it with --click")
                          : std::string()));
}

void clickControl(ControlHost& form, const Control& c) {
    QObject* o = c.object.data();
    if (auto* a = qobject_cast<QAction*>(o); a && !a->isSeparator() && !a->menu()) {
        if (!a->isEnabled())
            throw UsageError(c.name.toStdString() + " is disabled");
        a->trigger();
        return;
    }
    if (auto* b = qobject_cast<QPushButton*>(o)) {
        showPage(form, c);
        requireUsable(form, c);
        b->click();
        return;
    }
    throw UsageError(c.name.toStdString() + " (" + c.kind.toStdString() +
                     ") cannot be clicked; set it with --set NAME=VALUE");
}

namespace {
QString labelText(QString text) {
    text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
    text = text.trimmed();
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text;
}

bool needsName(QWidget* w) {
    if (!(w->focusPolicy() & Qt::TabFocus) || !w->accessibleName().isEmpty())
        return false;
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text().isEmpty() || b->text().trimmed() == QLatin1String("...");
    return qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSlider*>(w) ||
           qobject_cast<QAbstractItemView*>(w);
}

// The label naming w by position: same parent, left of it on its row, or above it within two
// of its heights; the nearest wins.
QLabel* labelBeside(QWidget* w) {
    QLabel* best = nullptr;
    int bestDistance = std::numeric_limits<int>::max();
    const QRect r = w->geometry();
    for (QLabel* l : w->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (l->text().trimmed().isEmpty())
            continue;
        const QRect g = l->geometry();
        int distance = -1;
        const bool sameRow = g.top() < r.bottom() && g.bottom() > r.top();
        const bool sameColumn = g.left() < r.right() && g.right() > r.left();
        if (sameRow && g.right() <= r.left() + 2)
            distance = r.left() - g.right();
        else if (sameColumn && g.bottom() <= r.top() + 2 && r.top() - g.bottom() <= 2 * r.height())
            distance = r.top() - g.bottom();
        if (distance >= 0 && distance < bestDistance) {
            best = l;
            bestDistance = distance;
        }
    }
    return best;
}
}  // namespace

void nameControlsFromLabels(QWidget* root) {
    QHash<QWidget*, QLabel*> buddies;
    for (QLabel* l : root->findChildren<QLabel*>())
        if (l->buddy())
            buddies.insert(l->buddy(), l);
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->parentWidget() || !needsName(w))
            continue;
        QString name;
        if (QLabel* l = buddies.value(w))
            name = labelText(l->text());
        else if (QLabel* l = labelBeside(w))
            name = labelText(l->text());
        else if (auto* g = qobject_cast<QGroupBox*>(w->parentWidget()))
            name = labelText(g->title());
        if (!name.isEmpty())
            w->setAccessibleName(name);
    }
}

void wordChanges(ControlHost& form, std::vector<ControlChange>* changes) {
    const std::vector<Control> all = listControls(form);
    QHash<QString, const Control*> byName;
    for (const Control& c : all)
        byName.insert(c.name, &c);
    auto state = [](const QString& v) {
        return v.isEmpty() ? QObject::tr("(not listed)")
               : v == QLatin1String("1") ? QObject::tr("enabled")
               : v == QLatin1String("2") ? QObject::tr("mixed")
                                         : QObject::tr("disabled");
    };
    std::vector<ControlChange> out;
    QHash<QWidget*, size_t> groups;  // an option group's parent -> its change in out
    for (ControlChange ch : *changes) {
        const Control* c = byName.value(ch.name);
        QObject* o = c ? c->object.data() : nullptr;
        const QString kind = c ? c->kind : QString();
        if (kind == QLatin1String("listview"))
            continue;
        if (!o) {
            // An entry no list holds any more: its key is all that is left of it.
            if (ch.name.startsWith(QLatin1String("list[")))
                ch.label = ch.name.mid(5).chopped(1);
            ch.before = state(ch.before);
            ch.after = state(ch.after);
        } else if (kind == QLatin1String("listitem")) {
            ch.label = textOf(*c).isEmpty() ? c->entryKey : textOf(*c);
            ch.before = state(ch.before);
            ch.after = state(ch.after);
        } else if (kind == QLatin1String("option")) {
            auto* w = qobject_cast<QWidget*>(o);
            QWidget* parent = w ? w->parentWidget() : nullptr;
            const QString text = labelText(qobject_cast<QAbstractButton*>(o)->text());
            if (!groups.contains(parent)) {
                ControlChange g = ch;
                auto* box = qobject_cast<QGroupBox*>(parent);
                // A frame's title carries the page's change mark while it is edited.
                g.label = box ? labelText(box->title()).remove(QRegularExpression(QStringLiteral("\\*$"))).trimmed()
                          : parent && !parent->accessibleName().isEmpty() ? parent->accessibleName()
                                                                         : QObject::tr("Choice");
                g.before = g.after = QObject::tr("(none)");
                groups.insert(parent, out.size());
                out.push_back(g);
            }
            ControlChange& g = out[groups.value(parent)];
            if (ch.before == QLatin1String("1"))
                g.before = text;
            if (ch.after == QLatin1String("1"))
                g.after = text;
            continue;
        } else {
            auto* w = qobject_cast<QWidget*>(o);
            if (auto* b = qobject_cast<QAbstractButton*>(o); b && !b->text().isEmpty())
                ch.label = labelText(b->text());
            else if (w && !w->accessibleName().isEmpty())
                ch.label = w->accessibleName();
            if (kind == QLatin1String("checkbox")) {
                ch.before = state(ch.before);
                ch.after = state(ch.after);
            } else if (auto* sl = qobject_cast<tk::Slider*>(o)) {
                auto shown = [sl](const QString& v) {
                    const QString n = QLocale().toString(v.toLongLong());
                    return sl->unit().isEmpty() ? n : n + QLatin1Char(' ') + sl->unit();
                };
                ch.before = shown(ch.before);
                ch.after = shown(ch.after);
            } else {
                for (QString* v : {&ch.before, &ch.after})
                    if (v->isEmpty())
                        *v = QObject::tr("(empty)");
            }
        }
        out.push_back(std::move(ch));
    }
    *changes = std::move(out);
}

}  // namespace qv::ctl
