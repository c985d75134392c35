#include "pages/explorer/menu_items.h"

#include <QLabel>
#include <QPushButton>
#include <array>
#include <string>

#include "app/artwork.h"
#include "app/page.h"
#include "pages/explorer/browse.h"
#include "registry/machines/machine.h"

namespace qv::explorer {

PromptCommand ParsePromptCommand(const QString& command) {
    PromptCommand p;
    if (command.contains(QLatin1String("command.com"), Qt::CaseSensitive) ||
        command.compare(QLatin1String(kPromptStockCommandNT), Qt::CaseInsensitive) == 0)
        return p;
    p.custom = true;
    const qsizetype at = command.indexOf(QLatin1String(kPromptArguments), 0, Qt::CaseSensitive);
    if (at >= 0)
        p.interpreter = command.left(at);
    return p;
}

namespace {

using reg::HKEY_CLASSES_ROOT;

// The change mark: one "*" after the frame's caption.
void markChanged(tk::Frame* frame) {
    if (!frame->Caption().endsWith(QLatin1Char('*')))
        frame->setCaption(frame->Caption() + QLatin1Char('*'));
}

std::string text(const QString& s) { return s.toStdString(); }

// Text put into a box by the program shows from its first character, as a typed one would.
void setText(tk::TextBox* box, const QString& s) {
    box->setText(s);
    box->setCursorPosition(0);
}

void showValue(tk::TextBox* box, reg::cRegistry& r) {
    box->showValue(r);
    box->setCursorPosition(0);
}

// The note's box is sized for the desktop font it was drawn with; a wider font would cut off its
// last line, so the font steps down until the whole text fits the box.
void fitText(QLabel* label) {
    QFont f = label->font();
    while (label->heightForWidth(label->width()) > label->height() && f.pointSizeF() > 6.5) {
        f.setPointSizeF(f.pointSizeF() - 0.25);
        label->setFont(f);
    }
}

// The three pages of the "Menu Items" branch: their controls, handlers and blocks.
class MenuItemsPages : public QObject {
public:
    explicit MenuItemsPages(frmMain& form);

    // Page 4.
    std::array<tk::OptionButton*, 2> optExploreFromHere{};
    // Page 5.
    std::array<tk::OptionButton*, 2> optMSDOSPromptOnDirs{};
    tk::CheckBox* chkCustomCommandInterpreter = nullptr;
    tk::TextBox* txtCustomCommandInterpreter = nullptr;
    QPushButton* cmdBrowseCommandInterpreter = nullptr;
    // The stored command behind the page, written back as read while the page would write the
    // same text again.
    reg::TextAsRead promptAsRead;
    std::string stockPromptCommand() const {
        return form_.machine().kind() == reg::Machine::Kind::Own ? kPromptStockCommand : kPromptStockCommandNT;
    }
    std::string promptCommand() const {
        return chkCustomCommandInterpreter->Value() == 0 ? stockPromptCommand()
                                                         : text(txtCustomCommandInterpreter->Text()) + kPromptArguments;
    }
    // Page 6.
    std::array<tk::OptionButton*, 2> optShowOnAllFiles{};
    QLabel* Label1 = nullptr;
    tk::TextBox* txtAddToAllFilesTitle = nullptr;
    QLabel* Label2 = nullptr;
    tk::TextBox* txtAddToAllFilesCommand = nullptr;
    QPushButton* cmdAddToAllFilesBrowseForProgram = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label3 = nullptr;

    void optExploreFromHere_Click(int Index);
    void optMSDOSPromptOnDirs_Click(int Index);
    void chkCustomCommandInterpreter_Click();
    void optShowOnAllFiles_Click(int Index);
    void cmdBrowseCommandInterpreter_Click();
    void cmdAddToAllFilesBrowseForProgram_Click();

    void loadExploreFromHere(Pass& p);
    void loadMSDOSPromptOnDirs(Pass& p);
    void loadAddToAllFiles(Pass& p);
    void saveExploreFromHere(Pass& p);
    void saveMSDOSPromptOnDirs(Pass& p);
    void saveAddToAllFiles(Pass& p);

private:
    frmMain& form_;
};

QPushButton* makeButton(const QString& caption, QWidget* parent, const QString& name) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

MenuItemsPages::MenuItemsPages(frmMain& form) : QObject(&form), form_(form) {
    // ---- page 4 ------------------------------------------------------------------------------
    tk::Frame* f4 = form.fraOption(kExploreFromHere);
    optExploreFromHere[0] = new tk::OptionButton(QStringLiteral("&Enabled"), f4, QStringLiteral("optExploreFromHere(0)"));
    tk::place(optExploreFromHere[0], 360, 1560, 1815, 195);
    optExploreFromHere[1] = new tk::OptionButton(QStringLiteral("&Disabled"), f4, QStringLiteral("optExploreFromHere(1)"));
    tk::place(optExploreFromHere[1], 360, 1800, 2655, 195);

    // ---- page 5 ------------------------------------------------------------------------------
    tk::Frame* f5 = form.fraOption(kMSDOSPromptOnDirs);
    optMSDOSPromptOnDirs[0] = new tk::OptionButton(QStringLiteral("&Enabled"), f5, QStringLiteral("optMSDOSPromptOnDirs(0)"));
    tk::place(optMSDOSPromptOnDirs[0], 360, 1560, 1215, 195);
    optMSDOSPromptOnDirs[1] = new tk::OptionButton(QStringLiteral("&Disabled"), f5, QStringLiteral("optMSDOSPromptOnDirs(1)"));
    tk::place(optMSDOSPromptOnDirs[1], 360, 1800, 1575, 195);
    tk::makeLine(f5, QStringLiteral("Line4"), QColor(128, 128, 128), 360, 2160, 4920);
    tk::makeLine(f5, QStringLiteral("Line3"), QColor(255, 255, 255), 360, 2170, 4920);
    chkCustomCommandInterpreter = new tk::CheckBox(QStringLiteral("&Use custom command interpreter:"), f5,
                                                   QStringLiteral("chkCustomCommandInterpreter"));
    tk::place(chkCustomCommandInterpreter, 360, 2280, 3615, 255);
    txtCustomCommandInterpreter = new tk::TextBox(QStringLiteral("command.com"), f5,
                                                  QStringLiteral("txtCustomCommandInterpreter"));
    tk::place(txtCustomCommandInterpreter, 840, 2640, 3135, 285);
    txtCustomCommandInterpreter->setEnabled(false);
    cmdBrowseCommandInterpreter = makeButton(QStringLiteral("..."), f5, QStringLiteral("cmdBrowseCommandInterpreter"));
    tk::place(cmdBrowseCommandInterpreter, 4080, 2640, 375, 285);
    cmdBrowseCommandInterpreter->setEnabled(false);

    // ---- page 6 ------------------------------------------------------------------------------
    tk::Frame* f6 = form.fraOption(kAddToAllFiles);
    optShowOnAllFiles[0] = new tk::OptionButton(QStringLiteral("&Enabled"), f6, QStringLiteral("optShowOnAllFiles(0)"));
    tk::place(optShowOnAllFiles[0], 360, 1560, 2535, 195);
    optShowOnAllFiles[1] = new tk::OptionButton(QStringLiteral("&Disabled"), f6, QStringLiteral("optShowOnAllFiles(1)"));
    tk::place(optShowOnAllFiles[1], 360, 1800, 3375, 195);
    Label1 = tk::makeLabel(QStringLiteral("&Title:"), f6, QStringLiteral("Label1"));
    tk::place(Label1, 240, 2280, 1095, 255);
    txtAddToAllFilesTitle = new tk::TextBox(QString(), f6, QStringLiteral("txtAddToAllFilesTitle"));
    tk::place(txtAddToAllFilesTitle, 1440, 2240, 3135, 285);
    Label1->setBuddy(txtAddToAllFilesTitle);
    Label2 = tk::makeLabel(QStringLiteral("Co&mmand:"), f6, QStringLiteral("Label2"));
    tk::place(Label2, 240, 2640, 1095, 255);
    txtAddToAllFilesCommand = new tk::TextBox(QString(), f6, QStringLiteral("txtAddToAllFilesCommand"));
    tk::place(txtAddToAllFilesCommand, 1440, 2600, 2535, 285);
    Label2->setBuddy(txtAddToAllFilesCommand);
    cmdAddToAllFilesBrowseForProgram = makeButton(QStringLiteral("..."), f6,
                                                  QStringLiteral("cmdAddToAllFilesBrowseForProgram"));
    tk::place(cmdAddToAllFilesBrowseForProgram, 4080, 2600, 495, 285);
    Image2 = new QLabel(f6);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setPixmap(art::warningPixmap());
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    tk::place(Image2, 480, 3720, 480, 480);
    Label3 = tk::makeLabel(
        QStringLiteral("If you use the Microsoft Office shortcut bar, enabling this option may cause problems.  "
                       "Clicking on a shortcut will execute the command you entered above, rather then "
                       "executing the application you thought it would."),
        f6, QStringLiteral("Label3"));
    tk::place(Label3, 1200, 3720, 3375, 975);
    fitText(Label3);

    // ---- handlers ----------------------------------------------------------------------------
    for (int i = 0; i < 2; ++i) {
        connect(optExploreFromHere[i], &tk::OptionButton::Click, this, [this, i] { optExploreFromHere_Click(i); });
        connect(optMSDOSPromptOnDirs[i], &tk::OptionButton::Click, this, [this, i] { optMSDOSPromptOnDirs_Click(i); });
        connect(optShowOnAllFiles[i], &tk::OptionButton::Click, this, [this, i] { optShowOnAllFiles_Click(i); });
    }
    connect(chkCustomCommandInterpreter, &tk::CheckBox::Click, this, [this] { chkCustomCommandInterpreter_Click(); });
    connect(cmdBrowseCommandInterpreter, &QPushButton::clicked, this, [this] { cmdBrowseCommandInterpreter_Click(); });
    connect(cmdAddToAllFilesBrowseForProgram, &QPushButton::clicked, this,
            [this] { cmdAddToAllFilesBrowseForProgram_Click(); });
}

// ---- handlers ------------------------------------------------------------------------------

void MenuItemsPages::optExploreFromHere_Click(int) {
    tk::Frame* f = form_.fraOption(kExploreFromHere);
    if (f->Visible())
        markChanged(f);
}

void MenuItemsPages::optMSDOSPromptOnDirs_Click(int Index) {
    tk::Frame* f = form_.fraOption(kMSDOSPromptOnDirs);
    if (!f->Visible())
        return;
    markChanged(f);
    chkCustomCommandInterpreter->setEnabled(Index != 1);
    const bool on = chkCustomCommandInterpreter->isEnabled() && chkCustomCommandInterpreter->Value() != 0;
    txtCustomCommandInterpreter->setEnabled(on);
    cmdBrowseCommandInterpreter->setEnabled(on);
}

void MenuItemsPages::chkCustomCommandInterpreter_Click() {
    const bool on = chkCustomCommandInterpreter->Value() != 0;
    cmdBrowseCommandInterpreter->setEnabled(on);
    txtCustomCommandInterpreter->setEnabled(on);
}

void MenuItemsPages::optShowOnAllFiles_Click(int Index) {
    const bool on = Index == 0;
    cmdAddToAllFilesBrowseForProgram->setEnabled(on);
    txtAddToAllFilesTitle->setEnabled(on);
    txtAddToAllFilesCommand->setEnabled(on);
}

void MenuItemsPages::cmdBrowseCommandInterpreter_Click() {
    if (const auto path = browseForProgram(form_))
        setText(txtCustomCommandInterpreter, *path);
}

void MenuItemsPages::cmdAddToAllFilesBrowseForProgram_Click() {
    if (const auto path = browseForProgram(form_))
        setText(txtAddToAllFilesCommand, *path);
}

// ---- load blocks (steps 2 to 4) ------------------------------------------------------------

void MenuItemsPages::loadExploreFromHere(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kRootExploreCommandKey); });
    p.step([&] { optExploreFromHere[0]->setValue(r.KeyExists()); });
    p.step([&] { optExploreFromHere[1]->setValue(!optExploreFromHere[0]->Value()); });
}

void MenuItemsPages::loadMSDOSPromptOnDirs(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kPromptCommandKey); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { optMSDOSPromptOnDirs[0]->setValue(r.KeyExists()); });
    p.step([&] { optMSDOSPromptOnDirs[1]->setValue(!optMSDOSPromptOnDirs[0]->Value()); });
    if (p.test([&] { return r.KeyExists(); })) {
        QString c;
        std::optional<reg::RawValue> stored;
        p.step([&] {
            c = tk::CStr(r.Value());
            stored = r.LastRead();
        });
        const PromptCommand cmd = ParsePromptCommand(c);
        if (!cmd.custom) {
            p.step([&] { chkCustomCommandInterpreter->setValue(0); });
            p.step([&] { txtCustomCommandInterpreter->setEnabled(false); });
            p.step([&] { cmdBrowseCommandInterpreter->setEnabled(false); });
        } else {
            p.step([&] { chkCustomCommandInterpreter->setValue(1); });
            p.step([&] { txtCustomCommandInterpreter->setEnabled(true); });
            p.step([&] { cmdBrowseCommandInterpreter->setEnabled(true); });
            if (cmd.interpreter)
                p.step([&] { setText(txtCustomCommandInterpreter, *cmd.interpreter); });
        }
        p.step([&] { chkCustomCommandInterpreter->setEnabled(true); });
        p.step([&] { promptAsRead.remember(promptCommand(), stored); });
    } else {
        promptAsRead.forget();
        p.step([&] { chkCustomCommandInterpreter->setEnabled(false); });
        p.step([&] { txtCustomCommandInterpreter->setEnabled(false); });
        p.step([&] { cmdBrowseCommandInterpreter->setEnabled(false); });
    }
}

void MenuItemsPages::loadAddToAllFiles(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kAllFilesKey); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { optShowOnAllFiles[0]->setValue(r.KeyExists()); });
    p.step([&] { optShowOnAllFiles[1]->setValue(!optShowOnAllFiles[0]->Value()); });
    const bool exists = p.test([&] { return r.KeyExists(); });
    p.step([&] { cmdAddToAllFilesBrowseForProgram->setEnabled(exists); });
    p.step([&] { txtAddToAllFilesTitle->setEnabled(exists); });
    p.step([&] { txtAddToAllFilesCommand->setEnabled(exists); });
    // Whether or not the verb exists: a missing value reads as empty.
    p.step([&] { showValue(txtAddToAllFilesTitle, r); });
    p.step([&] { r.setSectionKey(kAllFilesCommandKey); });
    p.step([&] { showValue(txtAddToAllFilesCommand, r); });
}

// ---- save blocks (steps 2 to 4) ------------------------------------------------------------

void MenuItemsPages::saveExploreFromHere(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    if (p.test([&] { return optExploreFromHere[0]->Value(); })) {
        p.step([&] { r.setSectionKey(kRootExploreCommandKey); });
        p.step([&] { r.setValue(std::string(kRootExploreCommand)); });
        p.step([&] { r.setSectionKey(kRootExploreKey); });
        p.step([&] { r.setValue(std::string(kRootExploreCaption)); });
    } else {
        p.step([&] { r.setSectionKey(kRootExploreKey); });
        p.step([&] { r.DeleteKey(); });
    }
}

void MenuItemsPages::saveMSDOSPromptOnDirs(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    if (p.test([&] { return optMSDOSPromptOnDirs[0]->Value(); })) {
        p.step([&] { r.setSectionKey(kPromptCommandKey); });
        if (p.test([&] { return chkCustomCommandInterpreter->Value() == 0; }))
            p.step([&] { promptAsRead.write(r, stockPromptCommand()); });
        else
            p.step([&] { promptAsRead.write(r, promptCommand()); });
        p.step([&] { r.setSectionKey(kPromptKey); });
        p.step([&] { r.setValue(std::string(kPromptCaption)); });
    } else {
        p.step([&] { r.setSectionKey(kPromptKey); });
        p.step([&] { r.DeleteKey(); });
    }
}

void MenuItemsPages::saveAddToAllFiles(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    if (p.test([&] { return optShowOnAllFiles[0]->Value(); })) {
        p.step([&] { r.setSectionKey(kAllFilesKey); });
        p.step([&] { txtAddToAllFilesTitle->writeTo(r); });
        p.step([&] { r.setSectionKey(kAllFilesCommandKey); });
        p.step([&] { txtAddToAllFilesCommand->writeTo(r); });
    } else {
        p.step([&] { r.setSectionKey(kAllFilesKey); });
        p.step([&] { r.DeleteKey(); });
    }
}

}  // namespace
}  // namespace qv::explorer

QV_PAGE(menu_items) {
    using namespace qv::explorer;
    auto* pages = new MenuItemsPages(form);
    form.setLoadBlock(kExploreFromHere, [pages](qv::Pass& p) { pages->loadExploreFromHere(p); });
    form.setLoadBlock(kMSDOSPromptOnDirs, [pages](qv::Pass& p) { pages->loadMSDOSPromptOnDirs(p); });
    form.setLoadBlock(kAddToAllFiles, [pages](qv::Pass& p) { pages->loadAddToAllFiles(p); });
    form.setSaveBlock(kExploreFromHere, [pages](qv::Pass& p) { pages->saveExploreFromHere(p); });
    form.setSaveBlock(kMSDOSPromptOnDirs, [pages](qv::Pass& p) { pages->saveMSDOSPromptOnDirs(p); });
    form.setSaveBlock(kAddToAllFiles, [pages](qv::Pass& p) { pages->saveAddToAllFiles(p); });
}
