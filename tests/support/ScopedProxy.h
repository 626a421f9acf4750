#pragma once
// Routes the program's WinINet traffic (INTERNET_OPEN_TYPE_PRECONFIG) to a
// local test server for the lifetime of the object, by setting the proxy of
// the prefix's per-user Internet Settings; the previous values are put back by
// the destructor. Wine's WinINet reads these settings at every InternetOpen,
// so sessions opened inside the scope use the proxy. Requests then arrive as
// "GET http://<real host>:80/<path> HTTP/1.1": the program keeps port 80 and
// its host names. Machine-wide state: tests using it declare LOCKS proxy.
#include <windows.h>

#include <string>

namespace TestSupport {

class ScopedProxy {
public:
    explicit ScopedProxy(int port);
    ~ScopedProxy();
    ScopedProxy(const ScopedProxy&) = delete;
    ScopedProxy& operator=(const ScopedProxy&) = delete;

    bool Ok() const { return m_ok; }

private:
    bool m_ok = false;
    bool m_hadEnable = false;
    DWORD m_oldEnable = 0;
    bool m_hadServer = false;
    std::string m_oldServer;
    bool m_hadOverride = false;
    std::string m_oldOverride;
};

} // namespace TestSupport
