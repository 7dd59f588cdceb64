// CConnectSetDlg: reads a host and a port (1 to 65535) and the start-at-launch box.
#include "ConnectSetDlg.h"

#include "DialogUnits.h"
#include "MessageBox.h"
#include "resource.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <cstdlib>

namespace {

// A label drawn in a fallback face may need more room than the template gave it: the field
// beside it then starts after the label's text, keeping its right edge.
void fitLabelBeside(QLabel* label, QWidget* field) {
    const int needed = label->geometry().left() + label->sizeHint().width() + 2;
    const QRect f = field->geometry();
    if (needed > f.left())
        field->setGeometry(needed, f.top(), std::max(f.right() + 1 - needed, f.width() / 2),
                           f.height());
}

} // namespace

CConnectSetDlg::CConnectSetDlg(QWidget* parent)
    : ModalDialog(parent), m_host("localhost"), m_port(0), m_hostLocked(1), m_autoStartCheck(0) {
    setWindowTitle(QString::fromUtf8(text::kConnectCaption));
    setFont(dialogFont("MS Shell Dlg", 8));
    const DialogUnits du(font());
    m_staticHost = new QLabel(QString::fromUtf8(text::kConnectHost), this);
    m_staticHost->setGeometry(du.rect(7, 7, 41, 10));
    m_editHost = new QLineEdit(this);
    m_editHost->setGeometry(du.rect(47, 7, 177, 12));
    m_staticPort = new QLabel(QString::fromUtf8(text::kConnectPort), this);
    m_staticPort->setGeometry(du.rect(7, 23, 40, 10));
    m_editPort = new QLineEdit(this);
    m_editPort->setGeometry(du.rect(47, 22, 62, 12));
    m_editPort->setAlignment(Qt::AlignRight);
    // Digits only, as typed; pasted text is still read with the port rule in OnOK.
    m_editPort->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_editPort));
    fitLabelBeside(m_staticHost, m_editHost);
    fitLabelBeside(m_staticPort, m_editPort);
    m_checkAutoStart = new QCheckBox(QString::fromUtf8(text::kConnectAutoStart), this);
    m_checkAutoStart->setGeometry(du.rect(47, 39, 145, 9));
    auto* ok = new QPushButton(QString::fromUtf8(text::kOk), this);
    ok->setGeometry(du.rect(122, 55, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QString::fromUtf8(text::kCancel), this);
    cancel->setGeometry(du.rect(174, 55, 50, 14));
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });
    setFixedSize(du.x(231), du.y(76));
}

bool CConnectSetDlg::OnInitDialog() {
    m_editPort->setText(QString::number(m_port));
    m_editHost->setText(QString::fromUtf8(m_host.GetString()));
    m_editHost->setEnabled(m_hostLocked != 1);
    m_checkAutoStart->setChecked(m_autoStartCheck != 0);
    return true;
}

void CConnectSetDlg::OnOK() {
    const QByteArray host = m_editHost->text().toUtf8();
    const QByteArray portText = m_editPort->text().toUtf8();
    // Leading digits count, anything after them is ignored; no digits gives 0.
    const long port = std::strtol(portText.constData(), nullptr, 10);
    m_host = host.constData();
    if (port < 1 || port > 65535) {
        AfxMessageBox(text::kPortRange, this);
        return;
    }
    m_port = static_cast<UINT>(port);
    m_autoStartCheck = m_checkAutoStart->isChecked() ? 1 : 0;
    ModalDialog::OnOK();
}
