// The sample grabber's interfaces: ISampleGrabber and the callback it calls, ISampleGrabberCB.
#pragma once

#include "filter_interfaces.h"

// Runs on the graph's streaming thread, once per sample; the stream waits until it returns.
struct ISampleGrabberCB : IUnknown {
    // Method 0: the sample itself, valid during the call.
    virtual HRESULT SampleCB(double sampleTime, IMediaSample* sample) = 0;
    // Method 1: the sample's bytes, valid during the call.
    virtual HRESULT BufferCB(double sampleTime, BYTE* buffer, LONG length) = 0;
};
DEFINE_INTERFACE_IID(ISampleGrabberCB, 0x0579154A, 0x2B53, 0x4994, 0xB0, 0xD0, 0xE7, 0x73, 0x14,
                     0x8E, 0xFF, 0x85);

struct ISampleGrabber : IUnknown {
    virtual HRESULT SetOneShot(BOOL oneShot) = 0;
    // The type the input accepts; GUID_NULL fields match anything.
    virtual HRESULT SetMediaType(const AM_MEDIA_TYPE* mt) = 0;
    // Copies the input's connection type; free it with FreeMediaType.
    virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT SetBufferSamples(BOOL bufferThem) = 0;
    // With a null buffer reports the size of the last buffered sample; otherwise copies it.
    virtual HRESULT GetCurrentBuffer(LONG* bufferSize, LONG* buffer) = 0;
    virtual HRESULT GetCurrentSample(IMediaSample** sample) = 0;
    // Once this returns, the previous callback is no longer running and is never called again.
    virtual HRESULT SetCallback(ISampleGrabberCB* callback, LONG whichMethodToCallback) = 0;
};
DEFINE_INTERFACE_IID(ISampleGrabber, 0x6B652FFF, 0x11FE, 0x4fce, 0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7,
                     0xC7, 0x8F);
