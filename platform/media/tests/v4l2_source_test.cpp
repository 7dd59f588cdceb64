// The V4L2 camera filter on simulated devices: binding through the enumerator, stream
// configuration, controls, property pages, streaming through a graph and unplugging.
#include "graph_harness.h"
#include "media/base/media_type.h"
#include "media/sources/test_pattern/pattern_strip.h"
#include "media/sources/v4l2/v4l2_source.h"
#include "testing/simulated_v4l2.h"

#include <platform/media/camera_interfaces.h>
#include <platform/media/device_providers.h>

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <chrono>
#include <string>
#include <thread>

using namespace graph_test;
namespace v4l2 = platform::media::v4l2;

namespace {

constexpr const char* kNode = "/dev/video0";

struct V4l2Filter : ::testing::Test {
    void SetUp() override {
        auto spec = v4l2::testing::uvcCamera(kNode, "Sim UVC", "usb-Sim-video-index0");
        spec.paced = false;
        sim->addDevice(spec);
        sim->addDevice(v4l2::testing::metadataNode("/dev/video1", "Sim UVC"));
        ASSERT_EQ(v4l2::createV4l2Source(sim, kNode, IID_IBaseFilter,
                                         reinterpret_cast<void**>(filter.GetAddressOf())),
                  S_OK);
        pin = pinOf(filter.Get(), PINDIR_OUTPUT);
        config = pin.query<IAMStreamConfig>();
        ASSERT_TRUE(config);
    }
    ComScope com;
    std::shared_ptr<v4l2::testing::SimulatedV4l2> sim =
        std::make_shared<v4l2::testing::SimulatedV4l2>();
    ComPtr<IBaseFilter> filter;
    ComPtr<IPin> pin;
    ComPtr<IAMStreamConfig> config;
};

GUID firstPage(IUnknown* object) {
    ComPtr<ISpecifyPropertyPages> pages;
    object->QueryInterface(IID_ISpecifyPropertyPages,
                           reinterpret_cast<void**>(pages.GetAddressOf()));
    CAUUID list{};
    if (!pages || FAILED(pages->GetPages(&list)) || list.cElems != 1)
        return GUID_NULL;
    const GUID page = list.pElems[0];
    CoTaskMemFree(list.pElems);
    return page;
}

} // namespace

TEST_F(V4l2Filter, IsListedThroughTheEnumeratorWithoutItsMetadataNode) {
    const int id = v4l2::registerV4l2Provider(sim, platform::media::kRankRegistered);
    auto devices = create<ICreateDevEnum>(CLSID_SystemDeviceEnum);
    ComPtr<IEnumMoniker> list;
    ASSERT_EQ(
        devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.GetAddressOf(), 0),
        S_OK);
    int named = 0;
    IMoniker* moniker = nullptr;
    while (list->Next(1, &moniker, nullptr) == S_OK) {
        auto held = ComPtr<IMoniker>::adopt(moniker);
        ComPtr<IPropertyBag> bag;
        held->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                            reinterpret_cast<void**>(bag.GetAddressOf()));
        VARIANT value;
        VariantInit(&value);
        bag->Read(u"FriendlyName", &value, nullptr);
        if (std::u16string(value.bstrVal) == u"Sim UVC") {
            ++named;
            VariantClear(&value);
            bag->Read(u"DevicePath", &value, nullptr);
            EXPECT_EQ(std::u16string(value.bstrVal), u"/dev/v4l/by-id/usb-Sim-video-index0");
            ComPtr<IBaseFilter> bound;
            EXPECT_EQ(held->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                         reinterpret_cast<void**>(bound.GetAddressOf())),
                      S_OK);
        }
        VariantClear(&value);
    }
    EXPECT_EQ(named, 1);
    platform::media::unregisterDeviceProvider(id);
}

TEST_F(V4l2Filter, CapturePinHasItsCategoryPagesAndCapabilities) {
    auto properties = pin.query<IKsPropertySet>();
    ASSERT_TRUE(properties);
    GUID category{};
    DWORD returned = 0;
    ASSERT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                              sizeof(category), &returned),
              S_OK);
    EXPECT_EQ(category, PIN_CATEGORY_CAPTURE);
    EXPECT_EQ(firstPage(pin.Get()), CLSID_StreamFormatPage);
    EXPECT_EQ(firstPage(filter.Get()), CLSID_CameraControlsPage);
    // The pin's extra interfaces keep the pin's identity.
    ComPtr<IUnknown> viaConfig, viaPin;
    config->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(viaConfig.GetAddressOf()));
    pin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(viaPin.GetAddressOf()));
    EXPECT_EQ(viaConfig.Get(), viaPin.Get());

    int count = 0, size = 0;
    ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(size, int(sizeof(VIDEO_STREAM_CONFIG_CAPS)));
    VIDEO_STREAM_CONFIG_CAPS caps{};
    AM_MEDIA_TYPE* mt = nullptr;
    ASSERT_EQ(config->GetStreamCaps(4, &mt, reinterpret_cast<BYTE*>(&caps)), S_OK);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_MJPG);
    EXPECT_EQ(caps.MaxOutputSize.cx, 1920);
    EXPECT_EQ(caps.MinFrameInterval, 333333);
    EXPECT_EQ(caps.MaxFrameInterval, 666666);
    platform::media::deleteMediaType(mt);
    EXPECT_EQ(config->GetStreamCaps(5, &mt, reinterpret_cast<BYTE*>(&caps)), S_FALSE);
    EXPECT_EQ(config->GetStreamCaps(-1, &mt, reinterpret_cast<BYTE*>(&caps)), E_INVALIDARG);
}

TEST_F(V4l2Filter, SetFormatAcceptsOnlyWhatTheDeviceOffersAndRebuildsTheType) {
    AM_MEDIA_TYPE* mt = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    ASSERT_EQ(config->GetStreamCaps(1, &mt, reinterpret_cast<BYTE*>(&caps)), S_OK); // YUYV 720p
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
    info->bmiHeader.biSizeImage = 7; // never trusted
    info->AvgTimePerFrame = 666666;
    EXPECT_EQ(config->SetFormat(mt), S_OK);
    info->bmiHeader.biWidth = 800;
    EXPECT_EQ(config->SetFormat(mt), VFW_E_INVALIDMEDIATYPE);
    info->bmiHeader.biWidth = 1280;
    info->AvgTimePerFrame = UNITS; // 1 fps: slower than the device goes
    EXPECT_EQ(config->SetFormat(mt), VFW_E_INVALIDMEDIATYPE);
    info->bmiHeader.biBitCount = 24; // YUY2 is 16 bits
    info->AvgTimePerFrame = 333333;
    EXPECT_EQ(config->SetFormat(mt), VFW_E_INVALIDMEDIATYPE);
    platform::media::deleteMediaType(mt);
    EXPECT_EQ(config->SetFormat(nullptr), E_POINTER);

    ASSERT_EQ(config->GetFormat(&mt), S_OK);
    info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(info->bmiHeader.biWidth, 1280);
    EXPECT_EQ(info->bmiHeader.biSizeImage, 1280u * 720 * 2);
    EXPECT_EQ(info->AvgTimePerFrame, 666666);
    platform::media::deleteMediaType(mt);
}

TEST_F(V4l2Filter, PictureAndCameraControlsReachTheDevice) {
    auto procAmp = filter.query<IAMVideoProcAmp>();
    auto camera = filter.query<IAMCameraControl>();
    ASSERT_TRUE(procAmp && camera);
    LONG min = 0, max = 0, step = 0, def = 0, caps = 0, value = 0, flags = 0;
    ASSERT_EQ(procAmp->GetRange(VideoProcAmp_Brightness, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(min, -64);
    EXPECT_EQ(max, 64);
    EXPECT_EQ(caps, VideoProcAmp_Flags_Manual);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_Brightness, 10, VideoProcAmp_Flags_Manual), S_OK);
    EXPECT_EQ(sim->controlValue(kNode, V4L2_CID_BRIGHTNESS), 10);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_Brightness, 100, VideoProcAmp_Flags_Manual), E_INVALIDARG);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_Brightness, 0, VideoProcAmp_Flags_Auto), E_INVALIDARG);
    EXPECT_EQ(procAmp->GetRange(VideoProcAmp_Sharpness, &min, &max, &step, &def, &caps),
              E_PROP_ID_UNSUPPORTED);

    // White balance: automatic until set by hand.
    ASSERT_EQ(procAmp->Get(VideoProcAmp_WhiteBalance, &value, &flags), S_OK);
    EXPECT_EQ(flags, VideoProcAmp_Flags_Auto);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_WhiteBalance, 5000, VideoProcAmp_Flags_Manual), S_OK);
    EXPECT_EQ(sim->controlValue(kNode, V4L2_CID_AUTO_WHITE_BALANCE), 0);
    EXPECT_EQ(sim->controlValue(kNode, V4L2_CID_WHITE_BALANCE_TEMPERATURE), 5000);

    // Exposure in log2 seconds over V4L2's 100 us units.
    ASSERT_EQ(camera->GetRange(CameraControl_Exposure, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(min, -12); // 0.3 ms
    EXPECT_EQ(max, -2);  // 204.7 ms
    EXPECT_EQ(caps, CameraControl_Flags_Manual | CameraControl_Flags_Auto);
    EXPECT_EQ(camera->Set(CameraControl_Exposure, -5, CameraControl_Flags_Manual), S_OK);
    EXPECT_EQ(sim->controlValue(kNode, V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
    EXPECT_EQ(sim->controlValue(kNode, V4L2_CID_EXPOSURE_ABSOLUTE), 313);
    ASSERT_EQ(camera->Get(CameraControl_Exposure, &value, &flags), S_OK);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(flags, CameraControl_Flags_Manual);
    EXPECT_EQ(camera->Set(CameraControl_Exposure, 0, CameraControl_Flags_Auto), S_OK);
    EXPECT_EQ(sim->controlValue(kNode, V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_APERTURE_PRIORITY);
    EXPECT_EQ(camera->Get(CameraControl_Zoom, &value, &flags), E_PROP_ID_UNSUPPORTED);
}

TEST_F(V4l2Filter, StreamsThroughATeeAndStopsWhenUnplugged) {
    auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
    auto builder = create<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2);
    ASSERT_EQ(builder->SetFiltergraph(graph.Get()), S_OK);
    EXPECT_EQ(builder->SetFiltergraph(graph.Get()), E_UNEXPECTED);
    auto grabberFilter = create(CLSID_SampleGrabber);
    auto grabber = grabberFilter.query<ISampleGrabber>();
    AM_MEDIA_TYPE rgb = videoType(MEDIASUBTYPE_RGB24);
    grabber->SetMediaType(&rgb);
    ASSERT_EQ(graph->AddFilter(filter.Get(), u"Video Capture"), S_OK);
    ASSERT_EQ(graph->AddFilter(grabberFilter.Get(), u"Sample Grabber"), S_OK);
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, filter.Get(), nullptr,
                                    grabberFilter.Get()),
              VFW_S_NOPREVIEWPIN);
    // The capture stream leaves from the same tee: one tee in the graph.
    auto sink = create(CLSID_NullRenderer);
    ASSERT_EQ(graph->AddFilter(sink.Get(), u"Sink"), S_OK);
    EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter.Get(), nullptr,
                                    sink.Get()),
              S_OK);
    int tees = 0;
    for (const auto& name : filterNames(graph.Get()))
        tees += name == u"Smart Tee";
    EXPECT_EQ(tees, 1);
    // Found by category through the builder, as Lumora asks for it.
    ComPtr<IAMStreamConfig> found;
    EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter.Get(),
                                     IID_IAMStreamConfig,
                                     reinterpret_cast<void**>(found.GetAddressOf())),
              S_OK);
    ComPtr<ISampleGrabber> downstream;
    EXPECT_EQ(builder->FindInterface(&LOOK_DOWNSTREAM_ONLY, nullptr, filter.Get(),
                                     IID_ISampleGrabber,
                                     reinterpret_cast<void**>(downstream.GetAddressOf())),
              S_OK);
    ComPtr<IAMStreamConfig> none;
    EXPECT_TRUE(FAILED(builder->FindInterface(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, filter.Get(),
                                              IID_IAMStreamConfig,
                                              reinterpret_cast<void**>(none.GetAddressOf()))));

    CountingCallback callback;
    grabber->SetCallback(&callback, 1);
    auto control = graph.query<IMediaControl>();
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(5));
    EXPECT_EQ(callback.lastLength, 640 * 480 * 3);
    platform::media::pattern::StripData strip;
    const auto last = callback.lastBuffer();
    EXPECT_TRUE(platform::media::pattern::decodeStripDib(last.data(), 640, 480, 24, &strip));
    sim->unplug(kNode);
    EXPECT_EQ(control->Stop(), S_OK); // returns although the device vanished mid-stream
    EXPECT_EQ(sim->mappedBuffers(kNode), 0);
    grabber->SetCallback(nullptr, 1);
}

TEST_F(V4l2Filter, MjpegPicturesOfAnotherHeightThanAnnouncedNeverReachTheGrabber) {
    for (const int extraRows : {0, 16, -16, 1}) {
        SCOPED_TRACE(extraRows);
        const std::string node = "/dev/video" + std::to_string(10 + extraRows);
        auto spec = v4l2::testing::uvcCamera(node, "Liar");
        spec.formats.erase(spec.formats.begin()); // MJPEG only
        spec.paced = false;
        spec.mjpegExtraRows = extraRows;
        sim->addDevice(spec);
        ComPtr<IBaseFilter> camera;
        ASSERT_EQ(v4l2::createV4l2Source(sim, node, IID_IBaseFilter,
                                         reinterpret_cast<void**>(camera.GetAddressOf())),
                  S_OK);
        auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
        auto grabberFilter = create(CLSID_SampleGrabber);
        auto grabber = grabberFilter.query<ISampleGrabber>();
        AM_MEDIA_TYPE rgb = videoType(MEDIASUBTYPE_RGB24);
        grabber->SetMediaType(&rgb);
        ASSERT_EQ(graph->AddFilter(camera.Get(), u"Camera"), S_OK);
        ASSERT_EQ(graph->AddFilter(grabberFilter.Get(), u"Sample Grabber"), S_OK);
        ASSERT_EQ(graph->Connect(pinOf(camera.Get(), PINDIR_OUTPUT).Get(),
                                 pinOf(grabberFilter.Get(), PINDIR_INPUT).Get()),
                  S_OK);
        CountingCallback callback;
        grabber->SetCallback(&callback, 1);
        auto control = graph.query<IMediaControl>();
        ASSERT_EQ(control->Run(), S_OK);
        // Wait until the camera has handed out a good number of pictures.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (sim->framesDelivered(node) < 20 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (extraRows == 0) {
            EXPECT_TRUE(callback.waitFor(5)); // the same path carries honest pictures
        }
        ASSERT_EQ(control->Stop(), S_OK);
        EXPECT_GE(sim->framesDelivered(node), 20u);
        if (extraRows != 0) {
            EXPECT_EQ(callback.samples(), 0);
        } else {
            EXPECT_EQ(callback.lastLength, 640 * 480 * 3);
        }
        grabber->SetCallback(nullptr, 1);
    }
}
