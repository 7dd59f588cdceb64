// PictureView: the picture control; paints the window's back buffer.
#pragma once

#include <QFrame>

class CTarnickDlg;

class PictureView : public QFrame {
public:
    explicit PictureView(CTarnickDlg* owner, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CTarnickDlg* m_owner;
};
