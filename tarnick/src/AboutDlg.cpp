// CAboutDlg: icon, "Ormidal Version 1.0" and an OK button.
#include "AboutDlg.h"

#include "DialogUnits.h"
#include "ProgramIcon.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : ModalDialog(parent) {
    setWindowTitle(QString::fromUtf8(text::kAboutCaption));
    setFont(dialogFont("MS UI Gothic", 9));
    const DialogUnits du(font());
    auto* icon = new QLabel(this);
    icon->setPixmap(programIcon().pixmap(32, 32));
    icon->setGeometry(du.x(14), du.y(14), 32, 32);
    auto* version = new QLabel(QString::fromUtf8(text::kAboutVersion), this);
    version->setGeometry(du.rect(42, 14, 114, 8));
    auto* ok = new QPushButton(QString::fromUtf8(text::kOk), this);
    ok->setGeometry(du.rect(176, 42, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    setFixedSize(du.x(233), du.y(63));
}
