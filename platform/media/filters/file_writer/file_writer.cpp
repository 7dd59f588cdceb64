// FileWriter (CLSID_FileWriter): writes a byte stream to a file. A multiplexer writes through
// the IStream its input pin offers (it goes back to rewrite headers and indexes); samples that
// arrive on the pin are written at the byte offset their start time carries.
#include "media/base/base_filter.h"
#include "media/base/input_pin.h"

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

constexpr HRESULT STG_E_WRITEFAULT = hresultFromBits(0x8003001D);
constexpr HRESULT STG_E_MEDIUMFULL = hresultFromBits(0x80030070);
constexpr HRESULT STG_E_INVALIDFUNCTION = hresultFromBits(0x80030001);

HRESULT openFailure(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return E_ACCESSDENIED;
    case ENOENT:
    case ENOTDIR:
        return HRESULT_FROM_WIN32(3); // ERROR_PATH_NOT_FOUND
    case ENAMETOOLONG:
        return HRESULT_FROM_WIN32(206); // ERROR_FILENAME_EXCED_RANGE
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
        return STG_E_MEDIUMFULL;
    default:
        return E_FAIL;
    }
}

// The open file and a position, shared by the IStream and sample writes. Any thread; one
// mutex keeps position and writes together.
class FileStream final : public ComObject<IStream> {
public:
    ~FileStream() override { close(); }

    HRESULT open(const std::string& path) {
        std::lock_guard lock(mutex_);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return openFailure(errno);
        closeLocked();
        fd_ = fd;
        position_ = 0;
        return S_OK;
    }
    void close() {
        std::lock_guard lock(mutex_);
        closeLocked();
    }
    bool isOpen() {
        std::lock_guard lock(mutex_);
        return fd_ >= 0;
    }

    HRESULT Read(void*, ULONG, ULONG* read) override {
        if (read)
            *read = 0;
        return STG_E_INVALIDFUNCTION; // opened for writing only
    }
    HRESULT Write(const void* buffer, ULONG count, ULONG* written) override {
        if (!buffer && count)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        ULONG done = 0;
        const HRESULT hr = writeAt(position_, static_cast<const BYTE*>(buffer), count, &done);
        position_ += done;
        if (written)
            *written = done;
        return hr;
    }
    HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* newPosition) override {
        std::lock_guard lock(mutex_);
        if (fd_ < 0)
            return E_UNEXPECTED;
        LONGLONG base = 0;
        if (origin == STREAM_SEEK_CUR)
            base = position_;
        else if (origin == STREAM_SEEK_END) {
            struct stat info {};
            if (fstat(fd_, &info) != 0)
                return E_FAIL;
            base = info.st_size;
        } else if (origin != STREAM_SEEK_SET)
            return E_INVALIDARG;
        if ((move < 0 && base + move < 0) || (move > 0 && base > INT64_MAX - move))
            return E_INVALIDARG;
        position_ = base + move;
        if (newPosition)
            *newPosition = ULONGLONG(position_);
        return S_OK;
    }
    HRESULT SetSize(ULONGLONG size) override {
        std::lock_guard lock(mutex_);
        if (fd_ < 0)
            return E_UNEXPECTED;
        if (size > ULONGLONG(INT64_MAX) || ftruncate(fd_, off_t(size)) != 0)
            return errno == EFBIG || errno == ENOSPC ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
        return S_OK;
    }
    HRESULT Commit(DWORD) override {
        std::lock_guard lock(mutex_);
        if (fd_ < 0)
            return E_UNEXPECTED;
        return fdatasync(fd_) == 0 ? S_OK : STG_E_WRITEFAULT;
    }

    // A sample's bytes at its own offset; the stream position is left alone.
    HRESULT writeSample(LONGLONG offset, const BYTE* data, ULONG count) {
        std::lock_guard lock(mutex_);
        ULONG done = 0;
        return writeAt(offset, data, count, &done);
    }

private:
    void closeLocked() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // A file past its size limit or a full disk ends in STG_E_MEDIUMFULL with what fitted
    // written; the caller decides whether to go on.
    HRESULT writeAt(LONGLONG offset, const BYTE* data, ULONG count, ULONG* done) {
        if (fd_ < 0)
            return E_UNEXPECTED;
        if (offset < 0)
            return E_INVALIDARG;
        while (*done < count) {
            const ssize_t n = pwrite(fd_, data + *done, count - *done, off_t(offset + *done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 && errno != EFBIG && errno != ENOSPC && errno != EDQUOT
                           ? STG_E_WRITEFAULT
                           : STG_E_MEDIUMFULL;
            *done += ULONG(n);
        }
        return S_OK;
    }

    std::mutex mutex_;
    int fd_ = -1;
    LONGLONG position_ = 0;
};

class FileWriter final : public BaseFilter, public IFileSinkFilter {
public:
    FileWriter()
        : BaseFilter(CLSID_FileWriter), input_(*this, u"in"), stream_(makeCom<FileStream>()) {}
    PLATFORM_FORWARD_IUNKNOWN(BaseFilter)

    // Control thread, while stopped. The file is created (or emptied) here, so a name that
    // cannot be written fails now, before any graph runs.
    HRESULT SetFileName(LPCOLESTR file, const AM_MEDIA_TYPE*) override {
        if (!file)
            return E_POINTER;
        if (state() != State_Stopped)
            return VFW_E_NOT_STOPPED;
        const std::u16string name(file);
        if (name.empty())
            return E_INVALIDARG;
        char path[4096];
        if (WideCharToMultiByte(CP_ACP, 0, file, -1, path, sizeof(path), nullptr, nullptr) == 0)
            return HRESULT_FROM_WIN32(206);
        if (HRESULT hr = stream_->open(path); FAILED(hr))
            return hr;
        std::lock_guard lock(stateLock());
        name_ = name;
        return S_OK;
    }
    HRESULT GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* mt) override {
        if (!file)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        *file = nullptr;
        if (mt)
            *mt = AM_MEDIA_TYPE{};
        if (name_.empty())
            return S_FALSE;
        const size_t bytes = (name_.size() + 1) * sizeof(WCHAR);
        *file = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!*file)
            return E_OUTOFMEMORY;
        std::memcpy(*file, name_.c_str(), bytes);
        if (mt) {
            mt->majortype = MEDIATYPE_Stream;
            mt->subtype = MEDIASUBTYPE_Avi;
        }
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IFileSinkFilter) {
            *object = static_cast<IFileSinkFilter*>(this);
            return S_OK;
        }
        return BaseFilter::queryOther(riid, object);
    }
    HRESULT queryPinInterface(BasePin&, REFIID riid, void** object) override {
        return riid == IID_IStream ? stream_->QueryInterface(riid, object) : E_NOINTERFACE;
    }
    int pinCount() override { return 1; }
    BasePin* pin(int) override { return &input_; }
    HRESULT checkMediaType(const BasePin&, const AM_MEDIA_TYPE& mt) override {
        return mt.majortype == MEDIATYPE_Stream ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT onActivate() override { return stream_->isOpen() ? S_OK : E_UNEXPECTED; }
    // Upstream streaming thread: the sample's start time is its byte offset in the file.
    HRESULT receive(InputPin&, IMediaSample* sample) override {
        REFERENCE_TIME offset = 0, end = 0;
        BYTE* data = nullptr;
        if (FAILED(sample->GetTime(&offset, &end)) || FAILED(sample->GetPointer(&data)))
            return E_INVALIDARG;
        const LONG length = sample->GetActualDataLength();
        return length > 0 ? stream_->writeSample(offset, data, ULONG(length)) : S_OK;
    }

private:
    ~FileWriter() override = default;

    InputPin input_;
    const ComPtr<FileStream> stream_;
    std::u16string name_; // guarded by the state lock
};

const ClassRegistration registration{CLSID_FileWriter, createInstance<FileWriter>};

} // namespace

} // namespace platform::media
