// CAboutDlg: the program's name and version.
#pragma once

#include "ModalDialog.h"

class CAboutDlg : public ModalDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
