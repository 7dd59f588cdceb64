// CTavrel: the exported class; each member hands over to the Transport it owns.
#include "tavrel/Tavrel.h"

#include "transport.h"

CTavrel::CTavrel() : m_transport(std::make_unique<tavrel::Transport>()) {}

// Defined here, where Transport is complete; it closes whatever is open.
CTavrel::~CTavrel() = default;

int CTavrel::Initialize() {
    // A peer that closes mid-send must not end the process: every send uses MSG_NOSIGNAL, and
    // nothing else here writes to sockets, so no signal disposition is changed.
    return 0;
}

int CTavrel::UnInitialize() {
    return 0;
}

int CTavrel::OpenServer(int port, int width, int height, int fps) {
    return m_transport->openServer(port, width, height, fps);
}

int CTavrel::OpenClient(const char* host, int port) {
    return m_transport->openClient(host, port);
}

int CTavrel::GetBitmapInfoHdr(BITMAPINFOHEADER* header) {
    return m_transport->bitmapInfo(header);
}

int CTavrel::Run(void (*callback)(unsigned char*, void*), void* context) {
    return m_transport->run(callback, context);
}

int CTavrel::AddFrame(unsigned char* bits, int /*count: always one frame*/) {
    return m_transport->addFrame(bits);
}

int CTavrel::AddFrameOf(const BITMAPINFOHEADER* header, const unsigned char* bits) {
    if (!header)
        return -1;
    return m_transport->addFrame(bits, header);
}

int CTavrel::SetNextFrameJpeg(const unsigned char* jpeg, int size) {
    return m_transport->setNextFrameJpeg(jpeg, size);
}

int CTavrel::Stop() {
    return m_transport->stop();
}

int CTavrel::Close() {
    return m_transport->close();
}

int CTavrel::IsOpen() {
    return m_transport->isOpen() ? 1 : 0;
}

int CTavrel::GetMode() {
    return m_transport->mode();
}

int CTavrel::IsRunning() {
    return m_transport->isRunning() ? 1 : 0;
}

int CTavrel::SetAccessKey(const char* key) {
    return m_transport->setAccessKey(key);
}

int CTavrel::SetListenAddress(const char* address) {
    return m_transport->setListenAddress(address);
}

int CTavrel::SetWebRtcViewer(const char* janusUrl, int mountpointId) {
    return m_transport->setWebRtcViewer(janusUrl, mountpointId);
}

void CTavrel::CancelOpenClient() {
    m_transport->cancelOpen();
}

int CTavrel::SetFormatChangeCallBack(void (*callback)(void*), void* context) {
    m_transport->setFormatListener(callback, context);
    return 0;
}
