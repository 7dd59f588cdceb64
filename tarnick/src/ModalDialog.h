// ModalDialog: a QDialog that runs like a framework dialog — DoModal returns IDOK or IDCANCEL.
#pragma once

#include "resource.h"

#include <QDialog>

class ModalDialog : public QDialog {
public:
    using QDialog::QDialog;

    int DoModal() {
        m_result = IDCANCEL;
        OnInitDialog();
        exec();
        return m_result;
    }
    virtual bool OnInitDialog() { return true; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    void EndDialog(int result) {
        m_result = result;
        done(result == IDOK ? Accepted : Rejected);
    }
    int result() const { return m_result; }

protected:
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

private:
    int m_result = IDCANCEL;
};
