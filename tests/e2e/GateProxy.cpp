#include "e2e/GateProxy.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace E2e {

GateProxy::GateProxy(int targetPort) : m_targetPort(targetPort) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (m_listener == INVALID_SOCKET || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 64) != 0)
        return;
    int length = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = TestSupport::Thread(&GateProxy::AcceptLoop, this);
}

GateProxy::~GateProxy() {
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        m_stopping = true;
        m_pattern.clear();
        for (SOCKET s : m_sockets) {
            if (s != INVALID_SOCKET) shutdown(s, SD_BOTH);
        }
    }
    m_changed.NotifyAll();
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
    m_acceptThread.Join();
    for (TestSupport::Thread& t : m_threads) t.Join();
    for (SOCKET s : m_sockets) {
        if (s != INVALID_SOCKET) closesocket(s);
    }
    WSACleanup();
}

void GateProxy::Hold(const std::string& pattern) {
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        m_pattern = pattern;
    }
    m_changed.NotifyAll();
}

bool GateProxy::Stopping() {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_stopping;
}

void GateProxy::ResetConnection(SOCKET socket) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    // Forgotten first: the destructor must not close a number the system may give out again.
    std::replace(m_sockets.begin(), m_sockets.end(), socket, INVALID_SOCKET);
    const linger abort = {1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(socket);
}

void GateProxy::Refuse(const std::string& pattern) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_refused = pattern;
}

bool GateProxy::WaitForHeld(DWORD timeoutMs) {
    std::unique_lock<TestSupport::Mutex> lock(m_mutex);
    return m_changed.WaitFor(lock, timeoutMs, [&] {
        for (const std::string* chunk : m_waiting)
            if (!m_pattern.empty() && chunk->find(m_pattern) != std::string::npos) return true;
        return false;
    });
}

void GateProxy::AcceptLoop() {
    for (;;) {
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(m_targetPort.load()));
        if (server == INVALID_SOCKET || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            // Reset, as a connection nothing answers ends: a quiet close would
            // read as an empty answer.
            linger reset = {1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
            closesocket(client);
            if (server != INVALID_SOCKET) closesocket(server);
            continue;
        }
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        if (m_stopping) {
            closesocket(client);
            closesocket(server);
            return;
        }
        m_sockets.push_back(client);
        m_sockets.push_back(server);
        m_threads.emplace_back(&GateProxy::Pipe, this, client, server, true);
        m_threads.emplace_back(&GateProxy::Pipe, this, server, client, false);
    }
}

bool GateProxy::PassGate(const char* data, int size) {
    const std::string chunk(data, static_cast<size_t>(size));
    std::unique_lock<TestSupport::Mutex> lock(m_mutex);
    if (!m_refused.empty() && chunk.find(m_refused) != std::string::npos) return false;
    auto held = [&] { return !m_stopping && !m_pattern.empty() && chunk.find(m_pattern) != std::string::npos; };
    if (!held()) return !m_stopping;
    m_waiting.push_back(&chunk);
    m_changed.NotifyAll();
    m_changed.Wait(lock, [&] { return !held(); });
    m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), &chunk));
    return !m_stopping;
}

void GateProxy::Pipe(SOCKET from, SOCKET to, bool gated) {
    char buffer[16384];
    for (;;) {
        const int got = recv(from, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        if (gated && !PassGate(buffer, got)) {
            if (!Stopping()) {
                // Refused: the client's connection is reset, as when nothing
                // listens at the host; the server's side is closed.
                ResetConnection(from);
                shutdown(to, SD_BOTH);
                return;
            }
            break;
        }
        int sent = 0;
        while (sent < got) {
            const int n = send(to, buffer + sent, got - sent, 0);
            if (n <= 0) break;
            sent += n;
        }
        if (sent < got) break;
    }
    // Half-close: the other direction finishes what it is sending.
    shutdown(to, SD_SEND);
}

} // namespace E2e
