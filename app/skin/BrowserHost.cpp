#include "app/skin/BrowserHost.h"

#include <olectl.h>

#include "app/Window.h"

BrowserHost::~BrowserHost() {
    Destroy();
}

LRESULT CALLBACK BrowserHost::HostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<BrowserHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (msg) {
    case WM_NCCREATE: {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        break;
    }
    case WM_SIZE:
        if (self && self->m_inPlaceObject) {
            RECT rect = self->ClientRect();
            self->m_inPlaceObject->SetObjectRects(&rect, &rect);
        }
        return 0;
    case WM_DESTROY:
        // The control's windows are children of this one: let go of the
        // control before they disappear under it.
        if (self) self->ReleaseControl();
        break;
    case WM_NCDESTROY:
        if (self) self->m_hWnd = nullptr;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        break;
    default:
        break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

RECT BrowserHost::ClientRect() const {
    RECT rect = {0, 0, 0, 0};
    if (m_hWnd) GetClientRect(m_hWnd, &rect);
    return rect;
}

HRESULT BrowserHost::Fail(const char* text) {
    MessageBoxA(m_hWnd, text, "", MB_OK);
    return E_FAIL;
}

HRESULT BrowserHost::Create(HWND parent, int left, int top, int right, int bottom) {
    Destroy();
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = &BrowserHost::HostProc;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = ClassName();
    if (!WindowModule::RegisterWindowClass(wc)) return E_FAIL;

    m_hWnd = CreateWindowExA(0, ClassName(), "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, left,
                             top, right - left, bottom - top, parent, nullptr, WindowModule::Instance(), this);
    if (!m_hWnd) return E_FAIL;
    ShowWindow(m_hWnd, SW_SHOW);

    Utils::ComPtr<IOleObject> object;
    if (FAILED(CoCreateInstance(m_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, object.ReceiveVoid())) ||
        !object)
        return Fail("CoCreateInstance failed");
    if (FAILED(object->SetClientSite(static_cast<IOleClientSite*>(this)))) {
        object->Close(OLECLOSE_NOSAVE);
        return Fail("SetClientSite failed");
    }
    RECT rect = ClientRect();
    if (FAILED(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this), 0, m_hWnd,
                              &rect))) {
        // The control holds our site by now: take it back before it can call
        // into a host that is about to be reused or destroyed.
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
        return Fail("DoVerb failed");
    }
    if (FAILED(object->QueryInterface(IID_IWebBrowser, m_webBrowser.ReceiveVoid())) || !m_webBrowser) {
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
        m_webBrowser.Reset();
        return E_FAIL;
    }

    Utils::ComPtr<IConnectionPointContainer> container;
    if (SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid())) && container &&
        SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents, m_eventsPoint.Receive())) &&
        m_eventsPoint) {
        if (FAILED(m_eventsPoint->Advise(static_cast<IDispatch*>(this), &m_dwEventsCookie))) {
            m_eventsPoint.Reset();
            m_dwEventsCookie = 0;
        }
    }
    if (SUCCEEDED(object->QueryInterface(IID_IOleInPlaceObject, m_inPlaceObject.ReceiveVoid())) && m_inPlaceObject)
        m_inPlaceObject->SetObjectRects(&rect, &rect);
    object->QueryInterface(IID_IOleCommandTarget, m_commandTarget.ReceiveVoid());

    m_webBrowser->GoHome();
    return S_OK;
}

HRESULT BrowserHost::Navigate(const std::string& url) {
    if (!m_webBrowser) return E_FAIL;
    Utils::Bstr address = Utils::BstrFromAnsi(url);
    VARIANT empty;
    VariantInit(&empty);
    return m_webBrowser->Navigate(address.Get(), &empty, &empty, &empty, &empty);
}

void BrowserHost::ReleaseControl() {
    if (m_eventsPoint) {
        m_eventsPoint->Unadvise(m_dwEventsCookie);
        m_eventsPoint.Reset();
        m_dwEventsCookie = 0;
    }
    if (m_inPlaceObject) {
        m_inPlaceObject->InPlaceDeactivate();
        m_inPlaceObject.Reset();
    }
    m_commandTarget.Reset();
    if (m_webBrowser) {
        Utils::ComPtr<IOleObject> object;
        if (SUCCEEDED(m_webBrowser->QueryInterface(IID_IOleObject, object.ReceiveVoid())) && object) {
            object->Close(OLECLOSE_NOSAVE);
            object->SetClientSite(nullptr);
        }
        m_webBrowser.Reset();
    }
    m_bInPlaceActive = false;
}

void BrowserHost::Destroy() {
    ReleaseControl();
    if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
}

// IUnknown: the owner controls the lifetime; the count is kept for the
// control's bookkeeping only.
STDMETHODIMP BrowserHost::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite))
        *object = static_cast<IOleClientSite*>(this);
    else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite))
        *object = static_cast<IOleInPlaceSite*>(this);
    else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, DIID_DWebBrowserEvents))
        *object = static_cast<IDispatch*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}
STDMETHODIMP_(ULONG) BrowserHost::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_refs));
}
STDMETHODIMP_(ULONG) BrowserHost::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&m_refs));
}

// IOleClientSite
STDMETHODIMP BrowserHost::SaveObject() { return S_OK; }
STDMETHODIMP BrowserHost::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::GetContainer(IOleContainer** container) {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP BrowserHost::ShowObject() { return S_OK; }
STDMETHODIMP BrowserHost::OnShowWindow(BOOL) { return S_OK; }
STDMETHODIMP BrowserHost::RequestNewObjectLayout() { return E_NOTIMPL; }

// IOleWindow / IOleInPlaceSite
STDMETHODIMP BrowserHost::GetWindow(HWND* window) {
    if (!window) return E_POINTER;
    *window = m_hWnd;
    return S_OK;
}
STDMETHODIMP BrowserHost::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }
STDMETHODIMP BrowserHost::CanInPlaceActivate() { return S_OK; }
STDMETHODIMP BrowserHost::OnInPlaceActivate() {
    m_bInPlaceActive = true;
    return S_OK;
}
STDMETHODIMP BrowserHost::OnUIActivate() { return S_OK; }
STDMETHODIMP BrowserHost::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                           LPRECT position, LPRECT clip, LPOLEINPLACEFRAMEINFO frameInfo) {
    if (frame) *frame = nullptr;
    if (document) *document = nullptr;
    RECT rect = ClientRect();
    if (position) *position = rect;
    if (clip) *clip = rect;
    if (frameInfo) {
        frameInfo->fMDIApp = FALSE;
        frameInfo->hwndFrame = m_hWnd;
        frameInfo->haccel = nullptr;
        frameInfo->cAccelEntries = 0;
    }
    return S_OK;
}
STDMETHODIMP BrowserHost::Scroll(SIZE) { return E_NOTIMPL; }
STDMETHODIMP BrowserHost::OnUIDeactivate(BOOL) { return S_OK; }
STDMETHODIMP BrowserHost::OnInPlaceDeactivate() {
    m_bInPlaceActive = false;
    return S_OK;
}
STDMETHODIMP BrowserHost::DiscardUndoState() { return E_NOTIMPL; }
STDMETHODIMP BrowserHost::DeactivateAndUndo() { return E_NOTIMPL; }
STDMETHODIMP BrowserHost::OnPosRectChange(LPCRECT) { return S_OK; }

// IDispatch
STDMETHODIMP BrowserHost::GetTypeInfoCount(UINT* count) {
    if (count) *count = 0;
    return S_OK;
}
STDMETHODIMP BrowserHost::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP BrowserHost::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return S_OK;
}
