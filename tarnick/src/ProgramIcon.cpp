// The program's icon, assembled from the PNGs rendered from res/tarnick.svg.
#include "ProgramIcon.h"

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/tarnick/tarnick-%1.png").arg(size), QSize(size, size));
    return icon;
}
