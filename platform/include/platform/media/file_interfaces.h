// File interfaces of the media graph: the byte stream a file writer offers a multiplexer, the
// random-access reader a file source offers a splitter, and the class ids of the file and
// codec filters.
#pragma once

#include "capture_interfaces.h"

// Origins of IStream::Seek.
inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

// The part of the byte stream the system uses: a file writer's input pin offers it, so a
// multiplexer can go back and rewrite headers and indexes. Offsets are plain 64-bit values.
struct IStream : IUnknown {
    virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) = 0;
    virtual HRESULT Write(const void* buffer, ULONG count, ULONG* written) = 0;
    virtual HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* newPosition) = 0;
    virtual HRESULT SetSize(ULONGLONG size) = 0;
    virtual HRESULT Commit(DWORD flags) = 0;
};
DEFINE_INTERFACE_IID(IStream, 0x0000000c, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x46);

// The synchronous part of a file source's pull pin: a splitter reads the bytes it needs.
struct IAsyncReader : IUnknown {
    // S_OK when all `length` bytes were read, S_FALSE when the file ended first.
    virtual HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer) = 0;
    virtual HRESULT Length(LONGLONG* total, LONGLONG* available) = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
};
DEFINE_INTERFACE_IID(IAsyncReader, 0x56a868aa, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b,
                     0xa7, 0x70);

// The video renderer: paces frames by their times against the graph clock.
DEFINE_GUID_CONSTANT(CLSID_VideoRenderer, 0x70e102b0, 0x5556, 0x11ce, 0x97, 0xc0, 0x00, 0xaa, 0x00,
                     0x55, 0x59, 0x5a);
// The splitter for container files (AVI, MP4, MKV, MOV...) and the video decoder for the
// codecs they carry, both backed by FFmpeg.
DEFINE_GUID_CONSTANT(CLSID_MediaSplitter, 0x0b7d9e60, 0x3f1c, 0x4a86, 0xb4, 0x20, 0x5d, 0xc1, 0x6e,
                     0x33, 0x8a, 0x07);
DEFINE_GUID_CONSTANT(CLSID_VideoDecoder, 0x0b7d9e61, 0x3f1c, 0x4a86, 0xb4, 0x20, 0x5d, 0xc1, 0x6e,
                     0x33, 0x8a, 0x07);
// The video compressors listed in the video compressor category (created through their
// monikers, not by class).
DEFINE_GUID_CONSTANT(CLSID_VideoCompressor, 0x0b7d9e62, 0x3f1c, 0x4a86, 0xb4, 0x20, 0x5d, 0xc1,
                     0x6e, 0x33, 0x8a, 0x07);
