// PictureView: copies the back buffer to the screen (window thread).
#include "PictureView.h"

#include "TarnickDlg.h"

#include <QPainter>

PictureView::PictureView(CTarnickDlg* owner, QWidget* parent) : QFrame(parent), m_owner(owner) {
    // A black frame around the picture; the picture itself paints everything inside.
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void PictureView::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    // The frame thread draws into the back buffer under the same lock. A frame kept while
    // nobody saw the window is converted now, so a paint always shows the newest one.
    std::lock_guard guard(m_owner->m_backLock);
    m_owner->catchUpPicture();
    const QRect picture(m_owner->m_edgeX, m_owner->m_edgeY, m_owner->m_dispWidth,
                        m_owner->m_dispHeight);
    if (!m_owner->m_backBuffer.isNull())
        painter.drawImage(picture.topLeft(), m_owner->m_backBuffer,
                          QRect(0, 0, m_owner->m_dispWidth, m_owner->m_dispHeight));
    else
        painter.fillRect(picture, Qt::black); // no frame since the last fitting
    m_owner->m_picturePaints.fetch_add(1, std::memory_order_relaxed);
}
