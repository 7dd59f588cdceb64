// The property frame the program draws, driven as a user drives it: CVideo's dialogs open it
// over the test-pattern camera and over a simulated V4L2 webcam; the test moves sliders,
// picks formats and presses the buttons, then asks the device what it now has.
#include "MessageBox.h"
#include "propertyframe/PropertyFrame.h"
#include "propertyframe/PropertyFrameHost.h"

#include "media/sources/v4l2/v4l2_source.h"
#include "testing/simulated_v4l2.h"

#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/media/camera_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/media.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include "stream_config.h"

#include <functional>
#include <memory>
#include <string>

using platform::ComPtr;
namespace v4l2 = platform::media::v4l2;

namespace {

constexpr const char* kSimCamera = "/dev/v4l/by-id/usb-Sim_UVC-video-index0";

class DialogVideo : public CVideo {
public:
    using CVideo::m_pSource;
    using CVideo::m_pStreamConfig;

    ComPtr<IAMVideoProcAmp> procAmp() {
        return ComPtr<IBaseFilter>(m_pSource).query<IAMVideoProcAmp>();
    }
    // The capture pin's format as the pin reports it.
    tVideoInf pinFormat(GUID* subtype = nullptr) {
        return testsupport::streamConfigFormat(m_pStreamConfig, subtype);
    }
};

// Runs `drive` on the frame from inside its modal loop once it is open. Should it never open,
// any modal window left is cancelled after a generous bound so the test fails instead of
// hanging.
void whenFrameOpens(std::function<void(PropertyFrame&)> drive) {
    auto* poll = new QTimer(qApp);
    auto started = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, started, drive] {
        auto* frame = dynamic_cast<PropertyFrame*>(QApplication::activeModalWidget());
        if (frame && frame->isVisible()) {
            poll->stop();
            poll->deleteLater();
            drive(*frame);
        } else if (++*started > 1000) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "the property frame never opened";
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                modal->reject();
        }
    });
    poll->start(10);
}

template <class T> T* child(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

void press(PropertyFrame& frame, const char* button) {
    if (auto* b = child<QPushButton>(frame, button))
        b->click();
}

// Selects the item carrying `data`; false when the list has none.
bool choose(QComboBox* box, const QVariant& data) {
    const int index = box ? box->findData(data) : -1;
    if (index < 0)
        return false;
    box->setCurrentIndex(index);
    return true;
}

LONG brightnessOf(DialogVideo& video, LONG* flags = nullptr) {
    LONG value = 0, mode = 0;
    EXPECT_EQ(video.procAmp()->Get(VideoProcAmp_Brightness, &value, &mode), S_OK);
    if (flags)
        *flags = mode;
    return value;
}

// One of the two cameras, opened as the program opens it, under a registered owner window.
class PropertyFrameTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        installPropertyFrameHost();
        owner.setWindowTitle("owner");
        owner.resize(320, 240);
        owner.show();
        platform::registerWindow(handle());
        std::string device = "ormidal:test-pattern";
        if (GetParam() == "v4l2") {
            sim = std::make_shared<v4l2::testing::SimulatedV4l2>();
            providerId = v4l2::registerV4l2Provider(sim, platform::media::kRankRegistered);
            sim->addDevice(
                v4l2::testing::uvcCamera("/dev/video0", "Sim UVC", "usb-Sim_UVC-video-index0"));
            device = kSimCamera;
        }
        ASSERT_EQ(video.Open(OPEN_DEVICE, device.c_str(), -1), 0);
    }
    void TearDown() override {
        video.Close();
        if (providerId)
            platform::media::unregisterDeviceProvider(providerId);
        platform::unregisterWindow(handle());
        setMessageBoxHandlerForTesting(nullptr);
    }
    HWND handle() { return reinterpret_cast<HWND>(static_cast<QWidget*>(&owner)); }
    bool isV4l2() const { return GetParam() == "v4l2"; }
    // A size the camera offers other than the one in force.
    QSize otherSize() const { return isV4l2() ? QSize(1280, 720) : QSize(320, 240); }

    QWidget owner;
    std::shared_ptr<v4l2::testing::SimulatedV4l2> sim;
    int providerId = 0;
    DialogVideo video;
};

} // namespace

TEST_P(PropertyFrameTest, CameraPageOpensOverItsOwnerWithTheGivenCaption) {
    QString title;
    QWidget* parent = nullptr;
    int tabs = 0;
    whenFrameOpens([&](PropertyFrame& frame) {
        title = frame.windowTitle();
        parent = frame.parentWidget();
        if (auto* t = frame.findChild<QTabWidget*>())
            tabs = t->count();
        press(frame, "okButton");
    });
    ASSERT_EQ(video.ShowPropertyDialog(handle(), "画像プロパティ設定"), 0);
    EXPECT_EQ(title, QString::fromUtf8("画像プロパティ設定"));
    EXPECT_EQ(parent, &owner);
    EXPECT_EQ(tabs, 1);
}

TEST_P(PropertyFrameTest, SliderMovesGoStraightToTheDeviceAndOkKeepsThem) {
    LONG min = 0, max = 0, step = 0, def = 0, caps = 0;
    ASSERT_EQ(video.procAmp()->GetRange(VideoProcAmp_Brightness, &min, &max, &step, &def, &caps),
              S_OK);
    LONG whileOpen = 0;
    QString shown;
    whenFrameOpens([&](PropertyFrame& frame) {
        auto* slider = child<QSlider>(frame, "slider-brightness");
        slider->setValue(slider->maximum());
        whileOpen = brightnessOf(video); // before any button: the device has it already
        shown = child<QLabel>(frame, "value-brightness")->text();
        press(frame, "okButton");
    });
    ASSERT_EQ(video.ShowPropertyDialog(handle(), nullptr), 0);
    EXPECT_EQ(whileOpen, max);
    EXPECT_EQ(shown, QString::number(max));
    EXPECT_EQ(brightnessOf(video), max);
}

TEST_P(PropertyFrameTest, CancelPutsBackWhatTheControlsHadAndDefaultsRestoreDefaults) {
    LONG min = 0, max = 0, step = 0, def = 0, caps = 0;
    ASSERT_EQ(video.procAmp()->GetRange(VideoProcAmp_Contrast, &min, &max, &step, &def, &caps),
              S_OK);
    const LONG before = brightnessOf(video);
    LONG whileOpen = before;
    whenFrameOpens([&](PropertyFrame& frame) {
        child<QSlider>(frame, "slider-brightness")->setValue(0);
        whileOpen = brightnessOf(video);
        press(frame, "cancelButton");
    });
    ASSERT_EQ(video.ShowPropertyDialog(handle(), nullptr), 0);
    EXPECT_NE(whileOpen, before);
    EXPECT_EQ(brightnessOf(video), before);

    LONG contrast = 0, flags = 0;
    whenFrameOpens([&](PropertyFrame& frame) {
        child<QSlider>(frame, "slider-contrast")->setValue(0);
        press(frame, "defaultsButton");
        press(frame, "okButton");
    });
    ASSERT_EQ(video.ShowPropertyDialog(handle(), nullptr), 0);
    video.procAmp()->Get(VideoProcAmp_Contrast, &contrast, &flags);
    EXPECT_EQ(contrast, def);
}

TEST_P(PropertyFrameTest, AutomaticBoxesOnlyWhereTheControlHasAnAutomaticMode) {
    bool brightnessBox = true, whiteBalanceBox = false, wasAuto = false, sliderEnabled = false;
    whenFrameOpens([&](PropertyFrame& frame) {
        brightnessBox = frame.findChild<QCheckBox*>("auto-brightness") != nullptr;
        if (auto* box = frame.findChild<QCheckBox*>("auto-whiteBalance")) {
            whiteBalanceBox = true;
            wasAuto = box->isChecked();
            box->setChecked(false);
            sliderEnabled = child<QSlider>(frame, "slider-whiteBalance")->isEnabled();
        }
        press(frame, "okButton");
    });
    ASSERT_EQ(video.ShowPropertyDialog(handle(), nullptr), 0);
    EXPECT_FALSE(brightnessBox);
    EXPECT_EQ(whiteBalanceBox, isV4l2());
    if (isV4l2()) {
        EXPECT_TRUE(wasAuto);
        EXPECT_TRUE(sliderEnabled);
        LONG value = 0, flags = 0;
        ASSERT_EQ(video.procAmp()->Get(VideoProcAmp_WhiteBalance, &value, &flags), S_OK);
        EXPECT_EQ(flags, VideoProcAmp_Flags_Manual);
    }
}

TEST_P(PropertyFrameTest, FormatPageOkSetsTheChosenSizeOnThePin) {
    const tVideoInf before = video.pinFormat();
    ASSERT_NE(QSize(before.nWidth, before.nHeight), otherSize());
    bool chosen = false;
    QString current;
    whenFrameOpens([&](PropertyFrame& frame) {
        current = child<QComboBox>(frame, "outputSize")->currentText();
        chosen = choose(child<QComboBox>(frame, "outputSize"), otherSize());
        press(frame, "okButton");
    });
    tVideoInf inf{};
    ASSERT_EQ(video.GetStreamFormat(inf, handle(), "ストリーム形式設定"), 0);
    EXPECT_TRUE(chosen);
    EXPECT_EQ(current, QString("%1 × %2").arg(before.nWidth).arg(before.nHeight));
    EXPECT_EQ(inf.nWidth, otherSize().width());
    EXPECT_EQ(inf.nHeight, otherSize().height());
    const tVideoInf pin = video.pinFormat();
    EXPECT_EQ(pin.nWidth, otherSize().width());
    EXPECT_EQ(pin.llFrameInterval, inf.llFrameInterval);
    // The program then rebuilds capture for the format read back.
    EXPECT_EQ(video.CaptureInit(inf.nWidth, inf.nHeight, inf.nBitCount, inf.llFrameInterval), 0);
    ASSERT_NE(video.GetBitmapInfoPtr(), nullptr);
    EXPECT_EQ(video.GetBitmapInfoPtr()->bmiHeader.biWidth, otherSize().width());
}

TEST_P(PropertyFrameTest, FormatPageCancelLeavesTheFormat) {
    const tVideoInf before = video.pinFormat();
    whenFrameOpens([&](PropertyFrame& frame) {
        choose(child<QComboBox>(frame, "outputSize"), otherSize());
        press(frame, "cancelButton");
    });
    tVideoInf inf{};
    ASSERT_EQ(video.GetStreamFormat(inf, handle(), nullptr), 0);
    EXPECT_EQ(inf.nWidth, before.nWidth);
    EXPECT_EQ(inf.nHeight, before.nHeight);
    EXPECT_EQ(inf.nBitCount, before.nBitCount);
    EXPECT_EQ(inf.llFrameInterval, before.llFrameInterval);
}

TEST_P(PropertyFrameTest, FormatPageOffersEachPixelFormatWithItsOwnSizesAndRates) {
    QStringList formats, sizes, rates;
    bool applyEnabledBefore = true, applyEnabledAfter = false;
    whenFrameOpens([&](PropertyFrame& frame) {
        auto* format = child<QComboBox>(frame, "pixelFormat");
        for (int i = 0; i < format->count(); ++i)
            formats << format->itemText(i);
        applyEnabledBefore = child<QPushButton>(frame, "applyButton")->isEnabled();
        // The last format (MJPG on both cameras) at its largest size and slowest rate.
        format->setCurrentIndex(format->count() - 1);
        auto* size = child<QComboBox>(frame, "outputSize");
        auto* rate = child<QComboBox>(frame, "frameRate");
        for (int i = 0; i < size->count(); ++i)
            sizes << size->itemText(i);
        size->setCurrentIndex(size->count() - 1);
        for (int i = 0; i < rate->count(); ++i)
            rates << rate->itemText(i);
        rate->setCurrentIndex(rate->count() - 1);
        applyEnabledAfter = child<QPushButton>(frame, "applyButton")->isEnabled();
        press(frame, "applyButton"); // applied now; OK then has nothing left to do
        press(frame, "okButton");
    });
    tVideoInf inf{};
    ASSERT_EQ(video.GetStreamFormat(inf, handle(), nullptr), 0);
    EXPECT_FALSE(applyEnabledBefore);
    EXPECT_TRUE(applyEnabledAfter);
    GUID subtype{};
    video.pinFormat(&subtype);
    EXPECT_EQ(subtype, MEDIASUBTYPE_MJPG);
    EXPECT_EQ(inf.nWidth, 1920);
    EXPECT_EQ(inf.nHeight, 1080);
    if (isV4l2()) {
        EXPECT_EQ(formats, QStringList({"YUY2 (16 ビット)", "MJPG (24 ビット)"}));
        EXPECT_EQ(sizes, QStringList({"640 × 480", "1280 × 720", "1920 × 1080"}));
        EXPECT_EQ(rates.front(), "30 fps");
        EXPECT_EQ(rates.back(), "15 fps");
        EXPECT_EQ(inf.llFrameInterval, UNITS / 15);
    } else {
        EXPECT_EQ(formats,
                  QStringList({"YUY2 (16 ビット)", "RGB24 (24 ビット)", "MJPG (24 ビット)"}));
        EXPECT_EQ(sizes, QStringList(
                             {"160 × 120", "320 × 240", "640 × 480", "1280 × 720", "1920 × 1080"}));
        EXPECT_EQ(rates.front(), "60 fps");
        EXPECT_EQ(rates.back(), "1 fps");
        EXPECT_EQ(inf.llFrameInterval, UNITS);
    }
}

TEST_P(PropertyFrameTest, RefusedFormatIsReportedAndTheFrameStaysOpen) {
    // Opened straight over the pin while capture is still connected behind it: a new size
    // is refused then.
    ComPtr<IUnknown> config(video.m_pStreamConfig);
    QStringList messages;
    setMessageBoxHandlerForTesting([&](const QString& text) { messages << text; });
    bool openAfterOk = false;
    whenFrameOpens([&](PropertyFrame& frame) {
        choose(child<QComboBox>(frame, "outputSize"), otherSize());
        press(frame, "okButton");
        openAfterOk = frame.isVisible();
        press(frame, "cancelButton");
    });
    IUnknown* objects[] = {config.Get()};
    CLSID pages[] = {CLSID_StreamFormatPage};
    EXPECT_EQ(OleCreatePropertyFrame(handle(), 0, 0, nullptr, 1, objects, 1, pages, 0, 0, nullptr),
              S_OK);
    EXPECT_TRUE(openAfterOk);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QString::fromUtf8("選択した形式")));
    EXPECT_NE(video.pinFormat().nWidth, otherSize().width());
}

TEST_P(PropertyFrameTest, HostRefusesUnknownPagesAndOwnersThatAreNotLiveRegisteredWindows) {
    ComPtr<IUnknown> source(video.m_pSource);
    IUnknown* objects[] = {source.Get()};
    const CLSID unknownPage = {0x1234, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    const CLSID known = CLSID_CameraControlsPage;
    QWidget stranger;
    const HWND strangerHandle = reinterpret_cast<HWND>(&stranger);
    platform::PropertyFrameRequest request{strangerHandle, 0,           0, nullptr,
                                           {objects, 1},   {&known, 1}, 0};
    EXPECT_EQ(showPropertyFrame(request), E_INVALIDARG);
    // Registered, but no widget lives there (a window that never unregistered).
    int gone = 0;
    request.owner = reinterpret_cast<HWND>(&gone);
    platform::registerWindow(request.owner);
    EXPECT_EQ(showPropertyFrame(request), E_INVALIDARG);
    platform::unregisterWindow(request.owner);
    request.owner = handle();
    request.pages = {&unknownPage, 1};
    EXPECT_EQ(showPropertyFrame(request), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// Pictures of both pages for the documentation, taken when TARNICK_SCREENSHOT_DIR names a
// folder (run under a real X server for the fonts a user sees).
TEST_P(PropertyFrameTest, ScreenshotsWhenAsked) {
    const QByteArray dir = qgetenv("TARNICK_SCREENSHOT_DIR");
    if (dir.isEmpty() || isV4l2())
        GTEST_SKIP() << "TARNICK_SCREENSHOT_DIR not set";
    const auto shoot = [&](const char* name) {
        return [dir, name](PropertyFrame& frame) {
            QTimer::singleShot(300, &frame, [&frame, dir, name] {
                EXPECT_TRUE(frame.grab().save(QDir(QString::fromUtf8(dir)).filePath(name)));
                frame.reject();
            });
        };
    };
    whenFrameOpens(shoot("property-camera-controls.png"));
    video.ShowPropertyDialog(handle(), "画像プロパティ設定");
    whenFrameOpens(shoot("property-stream-format.png"));
    tVideoInf inf{};
    video.GetStreamFormat(inf, handle(), "ストリーム形式設定");
}

INSTANTIATE_TEST_SUITE_P(Cameras, PropertyFrameTest, ::testing::Values("pattern", "v4l2"));
