#pragma once
// A child window (class "ATL Browser") that hosts the system's web-browser
// control in place and navigates it. The object is the control's client site,
// in-place site and event sink; it is not reference-counted for its lifetime:
// the owner keeps it alive, and Destroy() (or the destructor) makes the control
// let go of it. Main thread only (a single-threaded COM apartment).
#include <windows.h>
#include <ole2.h>
#include <oleidl.h>
#include <docobj.h>
#include <exdisp.h>
#include <string>

#include "utils/Handles.h"

// COM interfaces have no virtual destructor by design: a COM object is ended
// through Release, never deleted through an interface pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class BrowserHost : public IOleClientSite, public IOleInPlaceSite, public IDispatch {
public:
    BrowserHost() = default;
    virtual ~BrowserHost();
    BrowserHost(const BrowserHost&) = delete;
    BrowserHost& operator=(const BrowserHost&) = delete;

    // Creates the visible host window and the browser control in it. Failures
    // of the three creation steps are told in a message box owned by the host
    // window; the host window stays in place, empty. Returns S_OK or E_FAIL.
    HRESULT Create(HWND parent, int left, int top, int right, int bottom);
    // Navigates to url (converted with the system code page).
    HRESULT Navigate(const std::string& url);
    // Disconnects and releases the control and destroys the host window.
    void Destroy();

    HWND Handle() const { return m_hWnd; }
    bool HasBrowser() const { return static_cast<bool>(m_webBrowser); }
    bool IsInPlaceActive() const { return m_bInPlaceActive; }

    // The class of the hosted control (CLSID_WebBrowser unless changed, e.g.
    // to exercise the failure paths).
    void SetControlClsid(const CLSID& clsid) { m_clsid = clsid; }

    static const char* ClassName() { return "ATL Browser"; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHODIMP GetContainer(IOleContainer** container) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL show) override;
    STDMETHODIMP RequestNewObjectLayout() override;
    // IOleWindow / IOleInPlaceSite
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    STDMETHODIMP CanInPlaceActivate() override;
    STDMETHODIMP OnInPlaceActivate() override;
    STDMETHODIMP OnUIActivate() override;
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO frameInfo) override;
    STDMETHODIMP Scroll(SIZE extent) override;
    STDMETHODIMP OnUIDeactivate(BOOL undoable) override;
    STDMETHODIMP OnInPlaceDeactivate() override;
    STDMETHODIMP DiscardUndoState() override;
    STDMETHODIMP DeactivateAndUndo() override;
    STDMETHODIMP OnPosRectChange(LPCRECT position) override;
    // IDispatch (the browser's events: accepted and ignored)
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

private:
    static LRESULT CALLBACK HostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HRESULT Fail(const char* text);
    void ReleaseControl();
    RECT ClientRect() const;

    HWND m_hWnd = nullptr;
    CLSID m_clsid = CLSID_WebBrowser;
    Utils::ComPtr<IWebBrowser> m_webBrowser;
    Utils::ComPtr<IOleInPlaceObject> m_inPlaceObject;
    Utils::ComPtr<IOleCommandTarget> m_commandTarget;
    Utils::ComPtr<IConnectionPoint> m_eventsPoint;
    DWORD m_dwEventsCookie = 0;
    bool m_bInPlaceActive = false;
    LONG m_refs = 0;
};
#pragma GCC diagnostic pop
