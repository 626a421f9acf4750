// BrowserHost: the host window and the clean failure paths of the browser
// control's creation.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/Window.h"
#include "app/skin/BrowserHost.h"
#include "resources/resource.h"
#include "skin_test_util.h"

namespace {

// {5f6e0d2a-4c1b-4e55-9a43-7d0b1f2e8c61}: registered by nobody.
const CLSID kNoSuchControl = {0x5f6e0d2a, 0x4c1b, 0x4e55, {0x9a, 0x43, 0x7d, 0x0b, 0x1f, 0x2e, 0x8c, 0x61}};
// {0b7d31e4-91a2-4f0c-8e6b-2c55a1d9e307}: the failing stand-in below.
const CLSID kStandIn = {0x0b7d31e4, 0x91a2, 0x4f0c, {0x8e, 0x6b, 0x2c, 0x55, 0xa1, 0xd9, 0xe3, 0x07}};

class Page : public DialogWindow {
public:
    Page() : DialogWindow(IDD_ORVANTA_DIALOG) {}
};

// COM objects are ended through Release, never deleted through an interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// A control that fails at a chosen step; it keeps the site it is given, so a
// test can see whether the host took it back.
struct StandInControl : IOleObject {
    HRESULT setSiteResult = S_OK;
    HRESULT doVerbResult = S_OK;
    IOleClientSite* site = nullptr;
    LONG refs = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleObject)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;  // in particular no IWebBrowser
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP SetClientSite(IOleClientSite* newSite) override {
        if (newSite && FAILED(setSiteResult)) return setSiteResult;
        if (site) site->Release();
        site = newSite;
        if (site) site->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite**) override { return E_NOTIMPL; }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override { return S_OK; }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
    STDMETHODIMP DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override { return doVerbResult; }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    STDMETHODIMP GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    STDMETHODIMP Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }
};

struct StandInFactory : IClassFactory {
    StandInControl* control = nullptr;
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *object = this;
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** object) override {
        return control->QueryInterface(riid, object);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

#pragma GCC diagnostic pop

} // namespace

TEST(BrowserHost, UncreatableControlReportsAndLeavesAnEmptyHostWindow) {
    Page page;
    ASSERT_TRUE(page.Create(nullptr));
    ShowWindow(page.Handle(), SW_SHOW);
    BrowserHost host;
    host.SetControlClsid(kNoSuchControl);
    HRESULT hr;
    std::vector<MessageBoxWatcher::Box> boxes;
    {
        MessageBoxWatcher watcher(GetCurrentThreadId());
        hr = host.Create(page.Handle(), 35, 10, 462, 266);
        boxes = watcher.Boxes();
    }
    EXPECT_EQ(hr, E_FAIL);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "CoCreateInstance failed");
    EXPECT_EQ(boxes[0].caption, "");
    EXPECT_EQ(boxes[0].owner, page.Handle());  // the host's top-level window

    HWND hwnd = host.Handle();
    ASSERT_TRUE(IsWindow(hwnd));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_EQ(GetParent(hwnd), page.Handle());
    char cls[32] = {};
    GetClassNameA(hwnd, cls, sizeof(cls));
    EXPECT_STREQ(cls, "ATL Browser");
    RECT rect;
    GetWindowRect(hwnd, &rect);
    MapWindowPoints(nullptr, page.Handle(), reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, 35);
    EXPECT_EQ(rect.top, 10);
    EXPECT_EQ(rect.right, 462);
    EXPECT_EQ(rect.bottom, 266);
    EXPECT_EQ(GetWindow(hwnd, GW_CHILD), nullptr);  // empty
    EXPECT_FALSE(host.HasBrowser());
    EXPECT_EQ(host.Navigate("http://127.0.0.1/"), E_FAIL);

    host.Destroy();
    EXPECT_FALSE(IsWindow(hwnd));
    page.EndDialog(0);
}

TEST(BrowserHost, FailingStepsAreToldAndTheControlLetsGoOfTheHost) {
    struct Case {
        HRESULT setSite;
        HRESULT doVerb;
        const char* message;  // null: failure without a message
    } cases[] = {
        {E_UNEXPECTED, S_OK, "SetClientSite failed"},
        {S_OK, E_OUTOFMEMORY, "DoVerb failed"},
        {S_OK, S_OK, nullptr},  // no IWebBrowser
    };
    StandInFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kStandIn, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message ? c.message : "no IWebBrowser");
        StandInControl control;
        control.setSiteResult = c.setSite;
        control.doVerbResult = c.doVerb;
        factory.control = &control;
        Page page;
        ASSERT_TRUE(page.Create(nullptr));
        BrowserHost host;
        host.SetControlClsid(kStandIn);
        HRESULT hr;
        std::vector<MessageBoxWatcher::Box> boxes;
        {
            MessageBoxWatcher watcher(GetCurrentThreadId());
            hr = host.Create(page.Handle(), 0, 0, 100, 100);
            boxes = watcher.Boxes();
        }
        EXPECT_EQ(hr, E_FAIL);
        if (c.message) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, c.message);
            EXPECT_EQ(boxes[0].caption, "");
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        EXPECT_EQ(control.site, nullptr);  // no dangling pointer to the host
        EXPECT_EQ(control.refs, 1);        // every reference the host took is given back
        EXPECT_TRUE(IsWindow(host.Handle()));
        EXPECT_FALSE(host.HasBrowser());
        host.Destroy();
        page.EndDialog(0);
    }
    CoRevokeClassObject(cookie);
}

TEST(BrowserHost, SystemBrowserControlEitherHostsOrFailsCleanly) {
    Page page;
    ASSERT_TRUE(page.Create(nullptr));
    ShowWindow(page.Handle(), SW_SHOW);
    BrowserHost host;
    HRESULT hr;
    std::vector<MessageBoxWatcher::Box> boxes;
    {
        MessageBoxWatcher watcher(GetCurrentThreadId());
        hr = host.Create(page.Handle(), 35, 10, 462, 266);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(host.Navigate("about:blank"), S_OK);
            PumpFor(300);
        }
        boxes = watcher.Boxes();
    }
    std::printf("[ info ] system browser control: hr=0x%08lx, in place %d, messages %u%s%s\n",
                static_cast<unsigned long>(hr), host.IsInPlaceActive() ? 1 : 0, static_cast<unsigned>(boxes.size()),
                boxes.empty() ? "" : ": ", boxes.empty() ? "" : boxes[0].text.c_str());
    if (SUCCEEDED(hr)) {
        EXPECT_TRUE(host.HasBrowser());
        EXPECT_TRUE(boxes.empty());
    } else {
        EXPECT_FALSE(host.HasBrowser());
        EXPECT_LE(boxes.size(), 1u);
        if (!boxes.empty()) {
            EXPECT_TRUE(boxes[0].text == "CoCreateInstance failed" || boxes[0].text == "SetClientSite failed" ||
                        boxes[0].text == "DoVerb failed")
                << boxes[0].text;
        }
    }
    HWND hwnd = host.Handle();
    EXPECT_TRUE(IsWindow(hwnd));
    host.Destroy();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(host.HasBrowser());
    page.EndDialog(0);
}
