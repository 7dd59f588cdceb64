// FFmpeg, loaded the first time a file or codec filter needs it instead of with the platform
// library: a process that only captures and serves never maps FFmpeg and the hundred or so
// libraries it pulls in (about 22 MB resident, whatever the picture size).
//
// The FFmpeg code calls through `lib()`; everything that leads into it (the file, decoder,
// compressor and muxer filters' factories, the compressor list) asks `available()` first.
#pragma once

#include <platform/com_object.h>
#include <platform/lazy_library.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace platform::media::av {

// Every FFmpeg function the platform calls; the stream side data moved to codec parameters
// in FFmpeg 6.1.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
#define PLATFORM_AV_SIDE_DATA(X) X(av_packet_side_data_get)
#else
#define PLATFORM_AV_SIDE_DATA(X) X(av_stream_get_side_data)
#endif
#define PLATFORM_AV_FUNCTIONS(X)                                                                   \
    X(av_add_index_entry)                                                                          \
    X(av_codec_get_id)                                                                             \
    X(av_codec_get_tag)                                                                            \
    X(av_d2q)                                                                                      \
    X(av_dict_free)                                                                                \
    X(av_dict_set)                                                                                 \
    X(av_display_rotation_get)                                                                     \
    X(av_find_best_stream)                                                                         \
    X(av_frame_alloc)                                                                              \
    X(av_frame_free)                                                                               \
    X(av_frame_get_buffer)                                                                         \
    X(av_frame_make_writable)                                                                      \
    X(av_frame_unref)                                                                              \
    X(av_free)                                                                                     \
    X(av_freep)                                                                                    \
    X(av_image_copy_plane)                                                                         \
    X(av_index_search_timestamp)                                                                   \
    X(av_log_set_level)                                                                            \
    X(av_malloc)                                                                                   \
    X(av_mallocz)                                                                                  \
    X(av_packet_alloc)                                                                             \
    X(av_packet_free)                                                                              \
    X(av_packet_unref)                                                                             \
    X(av_read_frame)                                                                               \
    X(av_rescale)                                                                                  \
    X(av_rescale_q)                                                                                \
    X(av_rescale_q_rnd)                                                                            \
    X(av_seek_frame)                                                                               \
    X(av_write_frame)                                                                              \
    X(av_write_trailer)                                                                            \
    X(avcodec_alloc_context3)                                                                      \
    X(avcodec_descriptor_get)                                                                      \
    X(avcodec_find_best_pix_fmt_of_list)                                                           \
    X(avcodec_find_decoder)                                                                        \
    X(avcodec_find_encoder_by_name)                                                                \
    X(avcodec_flush_buffers)                                                                       \
    X(avcodec_free_context)                                                                        \
    X(avcodec_open2)                                                                               \
    X(avcodec_receive_frame)                                                                       \
    X(avcodec_receive_packet)                                                                      \
    X(avcodec_send_frame)                                                                          \
    X(avcodec_send_packet)                                                                         \
    X(avformat_alloc_context)                                                                      \
    X(avformat_alloc_output_context2)                                                              \
    X(avformat_close_input)                                                                        \
    X(avformat_find_stream_info)                                                                   \
    X(avformat_free_context)                                                                       \
    X(avformat_get_riff_video_tags)                                                                \
    X(avformat_index_get_entries_count)                                                            \
    X(avformat_index_get_entry)                                                                    \
    X(avformat_new_stream)                                                                         \
    X(avformat_open_input)                                                                         \
    X(avformat_seek_file)                                                                          \
    X(avformat_write_header)                                                                       \
    X(avio_alloc_context)                                                                          \
    X(avio_context_free)                                                                           \
    X(avio_flush)                                                                                  \
    X(sws_freeContext)                                                                             \
    X(sws_getCachedContext)                                                                        \
    X(sws_getContext)                                                                              \
    X(sws_scale)                                                                                   \
    PLATFORM_AV_SIDE_DATA(X)

struct Library {
    PLATFORM_AV_FUNCTIONS(PLATFORM_LAZY_MEMBER)
};

// Loads FFmpeg once (any thread; later calls wait for the first). False when its libraries
// or one of the functions are missing; the platform then offers no file, decoder or compressor.
bool available();

// The loaded functions. Only for code reached after available() said true.
const Library& lib();

// A class factory body for a filter built on FFmpeg: "not registered" when FFmpeg cannot load.
template <class T> HRESULT createInstance(REFIID riid, void** object) {
    if (!available()) {
        if (object)
            *object = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return platform::createInstance<T>(riid, object);
}

} // namespace platform::media::av
