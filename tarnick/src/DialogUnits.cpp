// Dialog units from the font's average character width and height.
#include "DialogUnits.h"

#include <QFontMetrics>
#include <QStringList>

QFont dialogFont(const char* face, int pointSize) {
    QFont font;
    font.setFamilies(QStringList{QString::fromUtf8(face), "Noto Sans CJK JP", "Noto Sans JP",
                                 "IPAGothic", "VL Gothic", "Sans Serif"});
    font.setPointSize(pointSize);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width over the Latin letters, rounded as the dialog manager rounds it.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();
    if (m_baseX <= 0)
        m_baseX = 6;
    if (m_baseY <= 0)
        m_baseY = 13;
}
