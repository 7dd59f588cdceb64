// HRESULT codes: the COM ones and the media-graph ones the system meets.
#pragma once

#include "wintypes.h"

inline constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
inline constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

constexpr HRESULT hresultFromBits(uint32_t bits) {
    return static_cast<HRESULT>(bits);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = hresultFromBits(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = hresultFromBits(0x80004002);
inline constexpr HRESULT E_POINTER = hresultFromBits(0x80004003);
inline constexpr HRESULT E_ABORT = hresultFromBits(0x80004004);
inline constexpr HRESULT E_FAIL = hresultFromBits(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = hresultFromBits(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = hresultFromBits(0x80070005);
inline constexpr HRESULT E_HANDLE = hresultFromBits(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = hresultFromBits(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = hresultFromBits(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = hresultFromBits(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hresultFromBits(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = hresultFromBits(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = hresultFromBits(0x800401F0);
inline constexpr HRESULT RPC_E_CHANGED_MODE = hresultFromBits(0x80010106);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = hresultFromBits(0x80020005);
inline constexpr HRESULT DISP_E_BADVARTYPE = hresultFromBits(0x80020008);

// Win32 error codes as HRESULTs (HRESULT_FROM_WIN32).
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t err) {
    return err == 0 ? S_OK : hresultFromBits((err & 0xFFFF) | 0x80070000u);
}
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// Media graph (DirectShow) results.
inline constexpr HRESULT VFW_S_NO_MORE_ITEMS = 0x00040103;
inline constexpr HRESULT VFW_S_DUPLICATE_NAME = 0x0004022D;
inline constexpr HRESULT VFW_S_STATE_INTERMEDIATE = 0x00040237;
inline constexpr HRESULT VFW_S_PARTIAL_RENDER = 0x00040242;
inline constexpr HRESULT VFW_S_CANT_CUE = 0x00040268;
inline constexpr HRESULT VFW_S_NO_STOP_TIME = 0x00040270;
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = hresultFromBits(0x80040200);
inline constexpr HRESULT VFW_E_INVALIDSUBTYPE = hresultFromBits(0x80040201);
inline constexpr HRESULT VFW_E_NEED_OWNER = hresultFromBits(0x80040202);
inline constexpr HRESULT VFW_E_ENUM_OUT_OF_SYNC = hresultFromBits(0x80040203);
inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = hresultFromBits(0x80040204);
inline constexpr HRESULT VFW_E_FILTER_ACTIVE = hresultFromBits(0x80040205);
inline constexpr HRESULT VFW_E_NO_TYPES = hresultFromBits(0x80040206);
inline constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = hresultFromBits(0x80040207);
inline constexpr HRESULT VFW_E_INVALID_DIRECTION = hresultFromBits(0x80040208);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = hresultFromBits(0x80040209);
inline constexpr HRESULT VFW_E_NO_ALLOCATOR = hresultFromBits(0x8004020A);
inline constexpr HRESULT VFW_E_RUNTIME_ERROR = hresultFromBits(0x8004020B);
inline constexpr HRESULT VFW_E_BUFFER_NOTSET = hresultFromBits(0x8004020C);
inline constexpr HRESULT VFW_E_BUFFER_OVERFLOW = hresultFromBits(0x8004020D);
inline constexpr HRESULT VFW_E_BADALIGN = hresultFromBits(0x8004020E);
inline constexpr HRESULT VFW_E_ALREADY_COMMITTED = hresultFromBits(0x8004020F);
inline constexpr HRESULT VFW_E_BUFFERS_OUTSTANDING = hresultFromBits(0x80040210);
inline constexpr HRESULT VFW_E_NOT_COMMITTED = hresultFromBits(0x80040211);
inline constexpr HRESULT VFW_E_SIZENOTSET = hresultFromBits(0x80040212);
inline constexpr HRESULT VFW_E_NO_CLOCK = hresultFromBits(0x80040213);
inline constexpr HRESULT VFW_E_NO_SINK = hresultFromBits(0x80040214);
inline constexpr HRESULT VFW_E_NO_INTERFACE = hresultFromBits(0x80040215);
inline constexpr HRESULT VFW_E_NOT_FOUND = hresultFromBits(0x80040216);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = hresultFromBits(0x80040217);
inline constexpr HRESULT VFW_E_CANNOT_RENDER = hresultFromBits(0x80040218);
inline constexpr HRESULT VFW_E_CHANGING_FORMAT = hresultFromBits(0x80040219);
inline constexpr HRESULT VFW_E_NOT_STOPPED = hresultFromBits(0x80040224);
inline constexpr HRESULT VFW_E_NOT_PAUSED = hresultFromBits(0x80040225);
inline constexpr HRESULT VFW_E_NOT_RUNNING = hresultFromBits(0x80040226);
inline constexpr HRESULT VFW_E_WRONG_STATE = hresultFromBits(0x80040227);
inline constexpr HRESULT VFW_E_START_TIME_AFTER_END = hresultFromBits(0x80040228);
inline constexpr HRESULT VFW_E_INVALID_RECT = hresultFromBits(0x80040229);
inline constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = hresultFromBits(0x8004022A);
inline constexpr HRESULT VFW_E_SAMPLE_REJECTED = hresultFromBits(0x8004022B);
inline constexpr HRESULT VFW_E_SAMPLE_REJECTED_EOS = hresultFromBits(0x8004022C);
inline constexpr HRESULT VFW_E_DUPLICATE_NAME = hresultFromBits(0x8004022D);
inline constexpr HRESULT VFW_E_TIMEOUT = hresultFromBits(0x8004022E);
inline constexpr HRESULT VFW_E_INVALID_FILE_FORMAT = hresultFromBits(0x8004022F);
inline constexpr HRESULT VFW_E_ENUM_OUT_OF_RANGE = hresultFromBits(0x80040230);
inline constexpr HRESULT VFW_E_CIRCULAR_GRAPH = hresultFromBits(0x80040231);
inline constexpr HRESULT VFW_E_UNKNOWN_FILE_TYPE = hresultFromBits(0x80040240);
inline constexpr HRESULT VFW_E_CANNOT_LOAD_SOURCE_FILTER = hresultFromBits(0x80040241);
inline constexpr HRESULT VFW_E_FILE_TOO_SHORT = hresultFromBits(0x80040243);
inline constexpr HRESULT VFW_E_INVALID_FILE_VERSION = hresultFromBits(0x80040244);
inline constexpr HRESULT VFW_E_INVALID_CLSID = hresultFromBits(0x80040247);
inline constexpr HRESULT VFW_E_INVALID_MEDIA_TYPE = hresultFromBits(0x80040248);
inline constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = hresultFromBits(0x80040249);
inline constexpr HRESULT VFW_E_NO_TIME_FORMAT_SET = hresultFromBits(0x80040252);
inline constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET = hresultFromBits(0x80040251);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = hresultFromBits(0x8004025F);
inline constexpr HRESULT VFW_E_NO_TIME_FORMAT = hresultFromBits(0x80040261);
inline constexpr HRESULT VFW_E_NO_TRANSPORT = hresultFromBits(0x80040266);
