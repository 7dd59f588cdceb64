// Filter graph utilities and teardown of a capture-device object.
#include "lumora/Video.h"

void CVideo::Release() {
    // The graph interfaces and the capture teardown join here with the media graph.
    m_nCapInfNum = 0;
    m_strDevicePath.Empty();
    m_strFriendlyName.Empty();
    m_nDeviceIndex = -1;
}
