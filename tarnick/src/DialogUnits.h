// Dialog units: template coordinates converted with the dialog font's metrics.
#pragma once

#include <QFont>
#include <QRect>

// The UI font of a template: the named face first, then installed CJK faces that carry the
// Japanese texts, then the system's sans-serif.
QFont dialogFont(const char* face, int pointSize);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int x(int dlu) const { return (dlu * m_baseX + 2) / 4; }
    int y(int dlu) const { return (dlu * m_baseY + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }

private:
    int m_baseX;
    int m_baseY;
};
