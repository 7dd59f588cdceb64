// File playback.
#include "lumora/Video.h"

// No file source exists yet, so no file can be opened.
int CVideo::FileOpen(const char*) {
    return -1;
}

void CVideo::FileClose() {
    m_llPlayFrame = 0;
    m_llFrameCount = 0;
    m_strFileName.Empty();
}
