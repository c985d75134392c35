#include "pages/explorer/explore_default.h"

#include <QLabel>
#include <QPushButton>
#include <string>

#include "app/page.h"
#include "pages/explorer/browse.h"

namespace qv::explorer {

bool ExploresByDefault(const reg::RegVariant& stored) {
    return tk::CStr(stored).toLower() == QLatin1String(kExploreVerb);
}

namespace {

using reg::HKEY_CLASSES_ROOT;
using reg::HKEY_LOCAL_MACHINE;

class ExploreDefaultPages : public QObject {
public:
    explicit ExploreDefaultPages(frmMain& form);

    // Page 15.
    tk::CheckBox* chkExploreAsDefault = nullptr;
    // Page 18.
    QLabel* Label11 = nullptr;
    tk::TextBox* txtUnassociatedFilesCaption = nullptr;
    QLabel* Label12 = nullptr;
    tk::TextBox* txtUnassociatedFilesCommand = nullptr;
    QPushButton* cmdUnassociatedFilesBrowse = nullptr;
    QPushButton* cmdUnassociatedFilesReset = nullptr;

    void cmdUnassociatedFilesBrowse_Click();
    void cmdUnassociatedFilesReset_Click();

    void loadNonAssociatedFiles(Pass& p);
    void saveNonAssociatedFiles(Pass& p);
    void loadExploreAsDefault(Pass& p);
    void saveExploreAsDefault(Pass& p);

private:
    frmMain& form_;
};

// Text put into a box by the program shows from its first character, as a typed one would.
void setText(tk::TextBox* box, const QString& s) {
    box->setText(s);
    box->setCursorPosition(0);
}

void showRead(tk::TextBox* box, const QString& s, const std::optional<reg::RawValue>& raw) {
    box->showRead(s, raw);
    box->setCursorPosition(0);
}

void showValue(tk::TextBox* box, reg::cRegistry& r) {
    box->showValue(r);
    box->setCursorPosition(0);
}

QPushButton* makeButton(const QString& caption, QWidget* parent, const QString& name) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

ExploreDefaultPages::ExploreDefaultPages(frmMain& form) : QObject(&form), form_(form) {
    tk::Frame* f15 = form.fraOption(kExploreAsDefault);
    chkExploreAsDefault = new tk::CheckBox(QStringLiteral("Explore as Default"), f15, QStringLiteral("chkExploreAsDefault"));
    tk::place(chkExploreAsDefault, 840, 1800, 3855, 255);

    tk::Frame* f18 = form.fraOption(kNonAssociatedFiles);
    Label11 = tk::makeLabel(QStringLiteral("Caption:"), f18, QStringLiteral("Label11"));
    tk::place(Label11, 480, 2640, 1095, 255);
    txtUnassociatedFilesCaption = new tk::TextBox(QString(), f18, QStringLiteral("txtUnassociatedFilesCaption"));
    tk::place(txtUnassociatedFilesCaption, 1680, 2640, 3015, 285);
    Label12 = tk::makeLabel(QStringLiteral("Command:"), f18, QStringLiteral("Label12"));
    tk::place(Label12, 480, 3000, 1095, 255);
    txtUnassociatedFilesCommand = new tk::TextBox(QString(), f18, QStringLiteral("txtUnassociatedFilesCommand"));
    tk::place(txtUnassociatedFilesCommand, 1680, 3000, 2535, 285);
    cmdUnassociatedFilesBrowse = makeButton(QStringLiteral("..."), f18, QStringLiteral("cmdUnassociatedFilesBrowse"));
    tk::place(cmdUnassociatedFilesBrowse, 4320, 3000, 375, 285);
    cmdUnassociatedFilesReset = makeButton(QStringLiteral("&Reset to default"), f18,
                                           QStringLiteral("cmdUnassociatedFilesReset"));
    tk::place(cmdUnassociatedFilesReset, 1680, 3480, 1695, 375);

    connect(cmdUnassociatedFilesBrowse, &QPushButton::clicked, this, [this] { cmdUnassociatedFilesBrowse_Click(); });
    connect(cmdUnassociatedFilesReset, &QPushButton::clicked, this, [this] { cmdUnassociatedFilesReset_Click(); });
}

void ExploreDefaultPages::cmdUnassociatedFilesBrowse_Click() {
    if (const auto path = browseForProgram(form_))
        setText(txtUnassociatedFilesCommand, *path);
}

void ExploreDefaultPages::cmdUnassociatedFilesReset_Click() {
    setText(txtUnassociatedFilesCaption, QString::fromLatin1(kOpenAsDefaultCaption));
    setText(txtUnassociatedFilesCommand, QString::fromLatin1(kOpenAsDefaultCommand));
}

// Step 12 of the load pass.
void ExploreDefaultPages::loadNonAssociatedFiles(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_LOCAL_MACHINE); });
    p.step([&] { r.setSectionKey(kOpenAsKey); });
    p.step([&] { r.setValueKey(""); });
    // Empty, missing or unreadable: the default caption.
    QString caption;
    std::optional<reg::RawValue> stored;
    p.step([&] {
        caption = tk::CStr(r.Value());
        stored = r.LastRead();
    });
    p.step([&] {
        showRead(txtUnassociatedFilesCaption,
                 caption.isEmpty() ? QString::fromLatin1(kOpenAsDefaultCaption) : caption, stored);
    });
    p.step([&] { r.setSectionKey(kOpenAsCommandKey); });
    p.step([&] { showValue(txtUnassociatedFilesCommand, r); });
}

// Step 12 of the save pass: both values, every time, also when empty.
void ExploreDefaultPages::saveNonAssociatedFiles(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_LOCAL_MACHINE); });
    p.step([&] { r.setSectionKey(kOpenAsKey); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    p.step([&] { txtUnassociatedFilesCaption->writeTo(r); });
    p.step([&] { r.setSectionKey(kOpenAsCommandKey); });
    p.step([&] { txtUnassociatedFilesCommand->writeTo(r); });
}

// Step 21 of the load pass, the last.
void ExploreDefaultPages::loadExploreAsDefault(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kFolderShellKey); });
    p.step([&] { r.setValueKey(""); });
    if (p.test([&] { return ExploresByDefault(r.Value()); }))
        p.step([&] { chkExploreAsDefault->setValue(1); });
    else
        p.step([&] { chkExploreAsDefault->setValue(0); });
}

// Step 21 of the save pass, the last: written every time, never deleted.
void ExploreDefaultPages::saveExploreAsDefault(Pass& p) {
    reg::cRegistry& r = p.reg();
    p.step([&] { r.setClassKey(HKEY_CLASSES_ROOT); });
    p.step([&] { r.setSectionKey(kFolderShellKey); });
    p.step([&] { r.setValueKey(""); });
    p.step([&] { r.setValueType(reg::REG_SZ); });
    if (p.test([&] { return chkExploreAsDefault->Value() == 1; }))
        p.step([&] { r.setValue(std::string(kExploreVerb)); });
    else
        p.step([&] { r.setValue(std::string()); });
}

}  // namespace
}  // namespace qv::explorer

QV_PAGE(explore_default) {
    using namespace qv::explorer;
    auto* pages = new ExploreDefaultPages(form);
    form.setLoadBlock(kNonAssociatedFiles, [pages](qv::Pass& p) { pages->loadNonAssociatedFiles(p); });
    form.setSaveBlock(kNonAssociatedFiles, [pages](qv::Pass& p) { pages->saveNonAssociatedFiles(p); });
    form.setLoadBlock(kExploreAsDefault, [pages](qv::Pass& p) { pages->loadExploreAsDefault(p); });
    form.setSaveBlock(kExploreAsDefault, [pages](qv::Pass& p) { pages->saveExploreAsDefault(p); });
}
