// Connecting a capture device and negotiating its video format.
#include "lumora/Video.h"

// No device source exists yet, so no device can be connected.
int CVideo::Connect(const char*) { return -1; }

int CVideo::Connect(const char*, int) { return -1; }
