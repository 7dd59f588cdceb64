// Class identifiers of the built-in filters, and the test source's configuration interface.
#pragma once

#include "filter_interfaces.h"

DEFINE_GUID_CONSTANT(CLSID_SampleGrabber, 0xC1F400A0, 0x3F08, 0x11d3, 0x9F, 0x0B, 0x00, 0x60, 0x08,
                     0x03, 0x9E, 0x37);
DEFINE_GUID_CONSTANT(CLSID_NullRenderer, 0xC1F400A4, 0x3F08, 0x11d3, 0x9F, 0x0B, 0x00, 0x60, 0x08,
                     0x03, 0x9E, 0x37);
DEFINE_GUID_CONSTANT(CLSID_SmartTee, 0xCC58E280, 0x8AA1, 0x11d1, 0xB3, 0xF1, 0x00, 0xAA, 0x00, 0x37,
                     0x61, 0xC5);
// The colour space converter.
DEFINE_GUID_CONSTANT(CLSID_Colour, 0x1643e180, 0x90f5, 0x11ce, 0x97, 0xd5, 0x00, 0xaa, 0x00, 0x55,
                     0x59, 0x5a);
DEFINE_GUID_CONSTANT(CLSID_MjpegDec, 0x301056D0, 0x6DFF, 0x11d2, 0x9E, 0xEB, 0x00, 0x60, 0x08, 0x03,
                     0x9E, 0x37);

// A source of a moving pattern for graph tests and benchmarks.
DEFINE_GUID_CONSTANT(CLSID_TestPatternSource, 0x456e832f, 0x1aa1, 0x4915, 0x82, 0xde, 0x96, 0x7d,
                     0x31, 0x78, 0xbb, 0x2f);

// Configures the test source; only while it is stopped and its pin is unconnected.
struct ITestPatternSource : IUnknown {
    // subtype: MEDIASUBTYPE_YUY2, MEDIASUBTYPE_MJPG or MEDIASUBTYPE_RGB24.
    virtual HRESULT SetFormat(const GUID& subtype, LONG width, LONG height,
                              REFERENCE_TIME avgTimePerFrame) = 0;
    // Paced: one frame per AvgTimePerFrame; unpaced: as fast as downstream takes them.
    virtual HRESULT SetPaced(BOOL paced) = 0;
    // Number of frames the source filled since it was last started.
    virtual HRESULT GetFramesDelivered(LONGLONG* frames) = 0;
};
DEFINE_INTERFACE_IID(ITestPatternSource, 0x2374f462, 0x07ff, 0x4ef0, 0x93, 0x30, 0x63, 0x43, 0xb7,
                     0x94, 0xc5, 0x24);
