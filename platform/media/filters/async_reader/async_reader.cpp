// AsyncReader (CLSID_AsyncReader): the file source. Its one output pin is a pull pin: the
// splitter connected to it reads the bytes it needs through IAsyncReader.
#include "media/base/base_filter.h"
#include "media/base/base_pin.h"

#include <platform/com_registry.h>
#include <platform/media/file_interfaces.h>
#include <platform/text.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::media {

namespace {

// The open file. Any thread may read: pread keeps no shared position.
class FileReader final : public ComObject<IAsyncReader> {
public:
    ~FileReader() override {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Only a regular file is read: a named pipe, a device or a socket could block the open
    // or a read forever, so they are refused before anything is opened. O_NONBLOCK keeps the
    // open itself from waiting should the path be swapped for such a thing in between.
    HRESULT open(const char* path) {
        struct stat info {};
        if (::stat(path, &info) != 0)
            return errno == EACCES ? E_ACCESSDENIED : HRESULT_FROM_WIN32(2); // FILE_NOT_FOUND
        if (!S_ISREG(info.st_mode))
            return E_INVALIDARG; // a folder, a pipe or a device is no media file
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return errno == EACCES ? E_ACCESSDENIED : HRESULT_FROM_WIN32(2);
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return E_INVALIDARG;
        }
        fd_ = fd;
        size_ = info.st_size;
        return S_OK;
    }

    HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer) override {
        if (!buffer && length > 0)
            return E_POINTER;
        if (position < 0 || length < 0)
            return E_INVALIDARG;
        LONG done = 0;
        while (done < length) {
            const ssize_t n =
                pread(fd_, buffer + done, size_t(length - done), off_t(position + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return E_FAIL;
            if (n == 0)
                return S_FALSE; // the file ended first
            done += LONG(n);
        }
        return S_OK;
    }
    HRESULT Length(LONGLONG* total, LONGLONG* available) override {
        if (!total || !available)
            return E_POINTER;
        *total = *available = size_;
        return S_OK;
    }
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }

private:
    int fd_ = -1;
    LONGLONG size_ = 0;
};

class AsyncReader final : public BaseFilter, public IFileSourceFilter {
public:
    AsyncReader() : BaseFilter(CLSID_AsyncReader), output_(*this, PINDIR_OUTPUT, u"Output") {}
    PLATFORM_FORWARD_IUNKNOWN(BaseFilter)

    // Control thread. Opens the file now, so a missing or unreadable file fails here.
    HRESULT Load(LPCOLESTR file, const AM_MEDIA_TYPE*) override {
        if (!file)
            return E_POINTER;
        char path[4096];
        if (!*file ||
            WideCharToMultiByte(CP_ACP, 0, file, -1, path, sizeof(path), nullptr, nullptr) == 0)
            return E_INVALIDARG;
        std::lock_guard lock(stateLock());
        if (reader_)
            return E_UNEXPECTED; // one file per source
        auto reader = makeCom<FileReader>();
        if (HRESULT hr = reader->open(path); FAILED(hr))
            return hr;
        reader_ = reader;
        name_ = file;
        return S_OK;
    }
    HRESULT GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* mt) override {
        if (!file)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        *file = nullptr;
        if (mt)
            *mt = AM_MEDIA_TYPE{};
        if (!reader_)
            return E_FAIL;
        const size_t bytes = (name_.size() + 1) * sizeof(WCHAR);
        *file = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!*file)
            return E_OUTOFMEMORY;
        std::memcpy(*file, name_.c_str(), bytes);
        if (mt)
            mt->majortype = MEDIATYPE_Stream;
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IFileSourceFilter) {
            *object = static_cast<IFileSourceFilter*>(this);
            return S_OK;
        }
        return BaseFilter::queryOther(riid, object);
    }
    HRESULT queryPinInterface(BasePin&, REFIID riid, void** object) override {
        std::lock_guard lock(stateLock());
        return riid == IID_IAsyncReader && reader_ ? reader_->QueryInterface(riid, object)
                                                   : E_NOINTERFACE;
    }
    int pinCount() override { return 1; }
    BasePin* pin(int) override { return &output_; }
    HRESULT checkConnect(const BasePin&, IPin*) override {
        std::lock_guard lock(stateLock());
        return reader_ ? S_OK : VFW_E_NOT_CONNECTED; // nothing loaded, nothing to offer
    }
    HRESULT checkMediaType(const BasePin&, const AM_MEDIA_TYPE& mt) override {
        return mt.majortype == MEDIATYPE_Stream ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT getMediaType(const BasePin&, int position, MediaType& mt) override {
        if (position != 0)
            return VFW_S_NO_MORE_ITEMS;
        AM_MEDIA_TYPE stream{};
        stream.majortype = MEDIATYPE_Stream;
        stream.formattype = FORMAT_None;
        mt = MediaType(stream);
        return S_OK;
    }

private:
    ~AsyncReader() override = default;

    BasePin output_;
    ComPtr<FileReader> reader_; // guarded by the state lock
    std::u16string name_;
};

const ClassRegistration registration{CLSID_AsyncReader, createInstance<AsyncReader>};

} // namespace

} // namespace platform::media
