// The property-frame host: maps page ids to the pages this program draws.
#include "propertyframe/PropertyFrameHost.h"

#include "propertyframe/CameraControlsPage.h"
#include "propertyframe/PropertyFrame.h"
#include "propertyframe/StreamFormatPage.h"

#include <platform/media/camera_interfaces.h>

#include <QApplication>
#include <QPointer>
#include <QThread>

#include <vector>

void installPropertyFrameHost() {
    platform::setPropertyFrameHost(showPropertyFrame);
}

namespace {
// The call came from a thread that does not run the windows (RPC_E_WRONG_THREAD).
constexpr HRESULT kWrongThread = hresultFromBits(0x8001010E);
} // namespace

HRESULT showPropertyFrame(const platform::PropertyFrameRequest& request) {
    if (!qApp || QThread::currentThread() != qApp->thread())
        return kWrongThread;
    if (request.objects.empty())
        return E_INVALIDARG;
    // A handle is the window's QWidget*, and is read as one only once the registry says
    // it is a window of this program and Qt still knows a widget at that address (a window
    // that forgot to unregister is never dereferenced).
    QWidget* owner = nullptr;
    if (request.owner) {
        auto* widget = reinterpret_cast<QWidget*>(request.owner);
        if (!IsWindow(request.owner) || !QApplication::allWidgets().contains(widget))
            return E_INVALIDARG;
        owner = widget;
    }
    const QString caption = request.caption ? QString::fromUtf16(request.caption) : QString();

    // The pages this host draws, in the order named; unknown ids are left out.
    std::vector<CLSID> pages;
    for (const CLSID& page : request.pages)
        if (page == CLSID_CameraControlsPage || page == CLSID_StreamFormatPage)
            pages.push_back(page);
    if (pages.empty())
        return REGDB_E_CLASSNOTREG;

    // A child of its owner, so it stays above it. Should the owner go while the frame is
    // open, it takes the frame with it: the guard then holds null and nothing is freed twice.
    QPointer<PropertyFrame> frame = new PropertyFrame(owner, caption);
    // Every page works on the first object: a frame shows one device or one pin.
    IUnknown* object = request.objects.front();
    for (const CLSID& page : pages) {
        if (page == CLSID_CameraControlsPage)
            frame->addPage(new CameraControlsPage(object));
        else
            frame->addPage(new StreamFormatPage(object));
    }
    frame->exec();
    // Freed now, not later from the event loop: the pages let go of the device on return.
    delete frame.data();
    return S_OK;
}
