// CConnectSetDlg: host, port and start-at-launch of a connection.
#pragma once

#include "ModalDialog.h"

#include <platform/cstring.h>
#include <platform/wintypes.h>

class QCheckBox;
class QLabel;
class QLineEdit;

class CConnectSetDlg : public ModalDialog {
public:
    explicit CConnectSetDlg(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    void OnOK() override;

    CString m_host;
    UINT m_port;
    BOOL m_hostLocked;
    BOOL m_autoStartCheck;
    QLineEdit* m_editHost;
    QLineEdit* m_editPort;
    QLabel* m_staticHost;
    QLabel* m_staticPort;
    QCheckBox* m_checkAutoStart;
};
