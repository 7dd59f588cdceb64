// Forward declarations of the media-graph interfaces, for headers that only hold pointers.
#pragma once

struct AM_MEDIA_TYPE;
struct VIDEOINFOHEADER;
struct IBaseFilter;
struct IPin;
struct IEnumPins;
struct IEnumMediaTypes;
struct IMediaSample;
struct IMemAllocator;
struct IMemInputPin;
struct IFilterGraph;
struct IGraphBuilder;
struct ICaptureGraphBuilder2;
struct IMediaControl;
struct IMediaSeeking;
struct IReferenceClock;
struct ISampleGrabber;
struct ISampleGrabberCB;
struct IAMStreamConfig;
struct IFileSinkFilter;
struct IFileSourceFilter;

// Pin direction, as the platform numbers it.
enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
