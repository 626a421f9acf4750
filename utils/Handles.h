#pragma once
// One owner for every platform handle. ScopedHandle<Traits> closes its handle
// exactly once, cannot be copied, and can be moved. Each kind of handle has its
// own type, so a registry key can never be closed as a file.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>
#include <objbase.h>
#include <oleauto.h>
#include <string>
#include <utility>

namespace Utils {

template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() noexcept : m_handle(Traits::Invalid()) {}
    explicit ScopedHandle(Handle handle) noexcept : m_handle(handle) {}
    ~ScopedHandle() { Reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : m_handle(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    Handle Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    Handle Release() noexcept {
        Handle handle = m_handle;
        m_handle = Traits::Invalid();
        return handle;
    }
    // Closes the current handle (if any) and takes the new one.
    void Reset(Handle handle = Traits::Invalid()) noexcept {
        if (m_handle != Traits::Invalid()) Traits::Close(m_handle);
        m_handle = handle;
    }
    // For APIs that return a handle through an out parameter.
    Handle* Receive() noexcept {
        Reset();
        return &m_handle;
    }

private:
    Handle m_handle;
};

// Traits of a handle kind: its type, the value that means "no handle" and
// the function that closes it.
template <typename H, auto CloseFunction>
struct NullHandleTraits {  // "no handle" is null
    using Handle = H;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { CloseFunction(h); }
};
template <auto CloseFunction>
struct MinusOneHandleTraits {  // "no handle" is INVALID_HANDLE_VALUE
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { CloseFunction(h); }
};

using KernelHandle = ScopedHandle<NullHandleTraits<HANDLE, CloseHandle>>;  // processes, threads, events
using FileHandle = ScopedHandle<MinusOneHandleTraits<CloseHandle>>;        // CreateFile, snapshots
using FindHandle = ScopedHandle<MinusOneHandleTraits<FindClose>>;
using RegKey = ScopedHandle<NullHandleTraits<HKEY, RegCloseKey>>;
using InternetHandle = ScopedHandle<NullHandleTraits<HINTERNET, InternetCloseHandle>>;
using ModuleHandle = ScopedHandle<NullHandleTraits<HMODULE, FreeLibrary>>;  // LoadLibrary(Ex)
using IconHandle = ScopedHandle<NullHandleTraits<HICON, DestroyIcon>>;     // CreateIcon*, not LoadIcon's shared icons
using GlobalMemory = ScopedHandle<NullHandleTraits<HGLOBAL, GlobalFree>>;   // GlobalAlloc blocks
using Bstr = ScopedHandle<NullHandleTraits<BSTR, SysFreeString>>;
using MemoryDC = ScopedHandle<NullHandleTraits<HDC, DeleteDC>>;             // CreateCompatibleDC / CreateDC

// A cryptographic provider of CryptAcquireContext (a number, 0 for none).
struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static Handle Invalid() noexcept { return 0; }
    static void Close(Handle h) noexcept { CryptReleaseContext(h, 0); }
};
using CryptProvider = ScopedHandle<CryptProviderTraits>;

// A BSTR holding text converted from the ANSI code page (null when out of memory).
inline Bstr BstrFromAnsi(const std::string& text) {
    const int size = static_cast<int>(text.size());
    const int length = size > 0 ? MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0) : 0;
    Bstr bstr(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (bstr && length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), size, bstr.Get(), length);
    return bstr;
}

// A window's device context from GetDC, given back with ReleaseDC to the same
// window. Null window: the screen.
class WindowDC {
public:
    WindowDC() noexcept = default;
    explicit WindowDC(HWND window) noexcept : m_window(window), m_dc(GetDC(window)) {}
    ~WindowDC() { Reset(); }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    WindowDC(WindowDC&& other) noexcept : m_window(other.m_window), m_dc(other.m_dc) { other.m_dc = nullptr; }
    WindowDC& operator=(WindowDC&& other) noexcept {
        if (this != &other) {
            Reset();
            m_window = other.m_window;
            m_dc = other.m_dc;
            other.m_dc = nullptr;
        }
        return *this;
    }

    HDC Get() const noexcept { return m_dc; }
    explicit operator bool() const noexcept { return m_dc != nullptr; }
    void Reset() noexcept {
        if (m_dc) ReleaseDC(m_window, m_dc);
        m_dc = nullptr;
    }

private:
    HWND m_window = nullptr;
    HDC m_dc = nullptr;
};

// Owns one reference of a COM interface pointer.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_ptr(other.m_ptr) { other.m_ptr = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            m_ptr = other.m_ptr;
            other.m_ptr = nullptr;
        }
        return *this;
    }

    T* Get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    void Reset() noexcept {
        if (m_ptr) m_ptr->Release();
        m_ptr = nullptr;
    }
    // For CoCreateInstance / QueryInterface out parameters.
    T** Receive() noexcept {
        Reset();
        return &m_ptr;
    }
    void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }

private:
    T* m_ptr = nullptr;
};

// Initialises COM for the current thread and uninitialises it only when the
// initialisation succeeded.
class ComApartment {
public:
    explicit ComApartment(DWORD model) : m_ok(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
    ~ComApartment() {
        if (m_ok) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool m_ok;
};

} // namespace Utils
