// The About box: the program's name and version, and links to its maker.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace qv {

// The maker's web page and mail address.
inline constexpr const char* kMakerWebPage = "https://quorvel.org";
inline constexpr const char* kMakerMail = "support@quorvel.org";

class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);

    QLabel* imgIcon = nullptr;
    QLabel* lblAppname = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QPushButton* cmdOK = nullptr;

    void Label2_Click();
    void Label3_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
};

}  // namespace qv
