// FilterGraph: the filter graph manager (CLSID_FilterGraph): membership, connection with
// intelligent insertion, and state changes of the whole graph.
#pragma once

#include <platform/com_object.h>
#include <platform/media/graph_interfaces.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace platform::media {

class MediaType;

// Control threads only. State changes are serialised and run downstream-first; they refuse
// to run on a streaming thread (a callback stopping its own graph would wait for itself).
// The member list lock is never held while a filter is called.
class FilterGraph final : public ComObject<IGraphBuilder, IMediaControl, IMediaSeeking> {
public:
    // IFilterGraph
    HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override;
    HRESULT RemoveFilter(IBaseFilter* filter) override;
    HRESULT EnumFilters(IEnumFilters** filters) override;
    HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override;
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin* pin) override;
    HRESULT SetDefaultSyncSource() override;
    // IGraphBuilder
    HRESULT Connect(IPin* out, IPin* in) override;
    HRESULT Render(IPin* out) override;
    HRESULT RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT Abort() override { return S_OK; }
    HRESULT ShouldOperationContinue() override { return S_OK; }
    // IMediaControl
    HRESULT Run() override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT GetState(LONG msTimeout, OAFilterState* state) override;
    HRESULT RenderFile(BSTR) override { return E_NOTIMPL; }
    HRESULT AddSourceFilter(BSTR, IUnknown**) override { return E_NOTIMPL; }
    HRESULT get_FilterCollection(IUnknown**) override { return E_NOTIMPL; }
    HRESULT get_RegFilterCollection(IUnknown**) override { return E_NOTIMPL; }
    HRESULT StopWhenReady() override;
    // IMediaSeeking: handed to the first filter, downstream-first, that seeks.
    HRESULT GetCapabilities(DWORD* capabilities) override;
    HRESULT CheckCapabilities(DWORD* capabilities) override;
    HRESULT IsFormatSupported(const GUID* format) override;
    HRESULT QueryPreferredFormat(GUID* format) override;
    HRESULT GetTimeFormat(GUID* format) override;
    HRESULT IsUsingTimeFormat(const GUID* format) override;
    HRESULT SetTimeFormat(const GUID* format) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                         DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT SetRate(double rate) override;
    HRESULT GetRate(double* rate) override;
    HRESULT GetPreroll(LONGLONG* preroll) override;

protected:
    HRESULT queryOther(REFIID riid, void** object) override;

private:
    ~FilterGraph() override;

    struct Member {
        ComPtr<IBaseFilter> filter;
        std::u16string name;
    };

    std::vector<ComPtr<IBaseFilter>> members();
    // Members ordered so that every filter comes before the filters upstream of it.
    std::vector<ComPtr<IBaseFilter>> downstreamFirst();
    bool contains(IBaseFilter* filter);
    bool pinInGraph(IPin* pin);
    HRESULT changeState(FILTER_STATE target);
    void stopAll(const std::vector<ComPtr<IBaseFilter>>& order);
    // Connects out to in, directly or through at most `depth` inserted transforms.
    HRESULT connectThrough(IPin* out, IPin* in, int depth, std::vector<CLSID>& chain);
    HRESULT tryInsert(const CLSID& clsid, const char16_t* name, IPin* out, IPin* in, int depth,
                      std::vector<CLSID>& chain);
    template <class Call> HRESULT forwardSeeking(Call call);

    std::mutex mutex_;       // guards members_ and clock_
    std::mutex changeMutex_; // serialises state changes, held while filters change state
    std::vector<Member> members_;
    ComPtr<IReferenceClock> clock_;
    std::atomic<FILTER_STATE> state_{State_Stopped};
};

} // namespace platform::media
