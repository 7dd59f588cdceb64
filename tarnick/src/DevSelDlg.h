// CDevSelDlg: picks one of the capture devices the library lists.
#pragma once

#include "ModalDialog.h"

#include <lumora/Video.h>

class QComboBox;

class CDevSelDlg : public ModalDialog {
public:
    explicit CDevSelDlg(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    void OnOK() override;

    tVideoDev m_selected;
    tVideoDev m_devices[32];
    int m_deviceCount;
    QComboBox* m_combo;
};
