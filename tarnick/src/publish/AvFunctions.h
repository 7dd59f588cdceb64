// FFmpeg for the publisher, loaded when a publication first opens instead of when the program
// starts: a program that never publishes does not map FFmpeg and the hundred or so libraries
// it pulls in (about 20 MB resident).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include <platform/lazy_library.h>

#include <string>

// Every FFmpeg function the publisher calls.
#define TARNICK_AV_FUNCTIONS(X)                                                                    \
    X(av_dict_free)                                                                                \
    X(av_dict_set)                                                                                 \
    X(av_dict_set_int)                                                                             \
    X(av_frame_alloc)                                                                              \
    X(av_frame_free)                                                                               \
    X(av_frame_get_buffer)                                                                         \
    X(av_frame_make_writable)                                                                      \
    X(av_gettime_relative)                                                                         \
    X(av_log_set_callback)                                                                         \
    X(av_log_set_level)                                                                            \
    X(av_mallocz)                                                                                  \
    X(av_opt_set)                                                                                  \
    X(av_packet_alloc)                                                                             \
    X(av_packet_free)                                                                              \
    X(av_packet_rescale_ts)                                                                        \
    X(av_packet_unref)                                                                             \
    X(av_strerror)                                                                                 \
    X(av_write_frame)                                                                              \
    X(av_write_trailer)                                                                            \
    X(avcodec_alloc_context3)                                                                      \
    X(avcodec_find_encoder)                                                                        \
    X(avcodec_find_encoder_by_name)                                                                \
    X(avcodec_free_context)                                                                        \
    X(avcodec_open2)                                                                               \
    X(avcodec_parameters_from_context)                                                             \
    X(avcodec_receive_packet)                                                                      \
    X(avcodec_send_frame)                                                                          \
    X(avformat_alloc_output_context2)                                                              \
    X(avformat_free_context)                                                                       \
    X(avformat_new_stream)                                                                         \
    X(avformat_write_header)                                                                       \
    X(avio_closep)                                                                                 \
    X(avio_open2)

struct AvFunctions {
    TARNICK_AV_FUNCTIONS(PLATFORM_LAZY_MEMBER)
};

// Loads FFmpeg once (any thread; later callers wait for the first). Null, with why FFmpeg could
// not be loaded in `why` when given, if a library or a function is missing. FFmpeg's own log
// never reaches standard error: its errors are only kept for lastAvError().
const AvFunctions* loadAvFunctions(std::string* why = nullptr);

// The loaded functions; only for code reached after loadAvFunctions() succeeded.
const AvFunctions& av();

// The most telling error FFmpeg logged on the calling thread since clearAvError(): why a
// certificate was refused when one was, else the last error or warning; empty when none. Per
// thread: no lock, no sharing.
std::string lastAvError();
void clearAvError();
