#include "support/ScopedProxy.h"

#include "utils/Handles.h"

#include <wininet.h>

#include <vector>

namespace TestSupport {

namespace {

const char kSettingsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool ReadString(HKEY key, const char* name, std::string& out) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
    std::vector<char> data(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return false;
    out.assign(data.data());
    return true;
}

void WriteString(HKEY key, const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

// Tells WinINet in this process that the settings changed.
void Notify() {
    InternetSetOptionA(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionA(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

} // namespace

ScopedProxy::ScopedProxy(int port) {
    Utils::RegKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        key.Receive(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD type = 0, size = sizeof m_oldEnable;
    m_hadEnable = RegQueryValueExA(key.Get(), "ProxyEnable", nullptr, &type,
                                   reinterpret_cast<BYTE*>(&m_oldEnable), &size) == ERROR_SUCCESS;
    m_hadServer = ReadString(key.Get(), "ProxyServer", m_oldServer);
    m_hadOverride = ReadString(key.Get(), "ProxyOverride", m_oldOverride);

    DWORD enable = 1;
    m_ok = RegSetValueExA(key.Get(), "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                          sizeof enable) == ERROR_SUCCESS;
    WriteString(key.Get(), "ProxyServer", "127.0.0.1:" + std::to_string(port));
    // No bypass list: even "localhost" names must reach the test server.
    RegDeleteValueA(key.Get(), "ProxyOverride");
    Notify();
}

ScopedProxy::~ScopedProxy() {
    Utils::RegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_WRITE, key.Receive()) != ERROR_SUCCESS) return;
    if (m_hadEnable)
        RegSetValueExA(key.Get(), "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_oldEnable),
                       sizeof m_oldEnable);
    else
        RegDeleteValueA(key.Get(), "ProxyEnable");
    if (m_hadServer)
        WriteString(key.Get(), "ProxyServer", m_oldServer);
    else
        RegDeleteValueA(key.Get(), "ProxyServer");
    if (m_hadOverride) WriteString(key.Get(), "ProxyOverride", m_oldOverride);
    Notify();
}

} // namespace TestSupport
