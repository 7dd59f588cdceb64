// CDevSelDlg: the device list, shown by display name, each entry carrying its list index.
#include "DevSelDlg.h"

#include "DialogUnits.h"
#include "MessageBox.h"
#include "resource.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <iterator>

CDevSelDlg::CDevSelDlg(QWidget* parent) : ModalDialog(parent), m_selected{}, m_deviceCount(0) {
    m_selected.nIndex = -1;
    setWindowTitle(QString::fromUtf8(text::kDevSelCaption));
    setFont(dialogFont("MS Shell Dlg", 8));
    const DialogUnits du(font());
    auto* label = new QLabel(QString::fromUtf8(text::kDevSelDevice), this);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setGeometry(du.rect(7, 7, 34, 12));
    m_combo = new QComboBox(this);
    m_combo->setGeometry(du.rect(41, 7, 169, 12));
    m_combo->setMaxVisibleItems(8);
    auto* ok = new QPushButton(QString::fromUtf8(text::kOk), this);
    ok->setGeometry(du.rect(108, 29, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QString::fromUtf8(text::kCancel), this);
    cancel->setGeometry(du.rect(160, 29, 50, 14));
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });
    setFixedSize(du.x(217), du.y(50));
}

bool CDevSelDlg::OnInitDialog() {
    m_deviceCount = CVideo::GetCaptureDeviceList(m_devices, static_cast<int>(std::size(m_devices)));
    m_combo->clear();
    for (int i = 0; i < m_deviceCount; ++i)
        m_combo->addItem(QString::fromUtf8(CVideo::GetDeviceDispName(m_devices[i]).GetString()), i);
    if (m_deviceCount > 0) {
        m_combo->setCurrentIndex(0);
        m_selected = m_devices[m_combo->itemData(0).toInt()];
    } else {
        m_combo->setCurrentIndex(-1);
    }
    return true;
}

void CDevSelDlg::OnOK() {
    const int entry = m_combo->currentIndex();
    if (entry < 0) {
        AfxMessageBox(text::kNoDeviceSelected, this);
        return;
    }
    m_selected = m_devices[m_combo->itemData(entry).toInt()];
    ModalDialog::OnOK();
}
