#pragma once
// A TCP forwarder on 127.0.0.1 in front of the reference download server,
// with a gate: while a pattern is held, a request whose text contains it waits
// at the gate before it is passed on. The installer under test then stays in
// its current state (e.g. "waiting for the manifest") for exactly as long as
// the test needs to look at it, without any timing assumptions.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/TestThreads.h"

namespace E2e {

class GateProxy {
public:
    explicit GateProxy(int targetPort);  // listens on an ephemeral port
    ~GateProxy();                        // releases the gate, closes and joins everything
    GateProxy(const GateProxy&) = delete;
    GateProxy& operator=(const GateProxy&) = delete;

    int Port() const { return m_port; }
    // Requests containing pattern wait until Release() or until another
    // pattern is held; "" holds nothing.
    void Hold(const std::string& pattern);
    void Release() { Hold(std::string()); }
    // Waits until a request that the current pattern holds is at the gate.
    bool WaitForHeld(DWORD timeoutMs);
    // Requests containing pattern are never passed on: their connection is
    // closed without an answer, as an unreachable host's would be. "" refuses nothing.
    void Refuse(const std::string& pattern);
    // Where new connections go; a port nothing listens on makes the server
    // unreachable (each connection is closed at once).
    void SetTargetPort(int port) { m_targetPort = port; }

private:
    void AcceptLoop();
    void Pipe(SOCKET from, SOCKET to, bool gated);
    // False when the request must not pass: the proxy is stopping or refuses it.
    bool PassGate(const char* data, int size);
    bool Stopping();
    // Closes the socket with a reset and forgets it.
    void ResetConnection(SOCKET socket);

    std::atomic<int> m_targetPort;
    int m_port = 0;
    SOCKET m_listener = INVALID_SOCKET;
    TestSupport::Mutex m_mutex;
    TestSupport::Condition m_changed;
    std::string m_pattern;
    std::string m_refused;
    std::vector<const std::string*> m_waiting;  // requests at the gate
    bool m_stopping = false;
    std::vector<SOCKET> m_sockets;
    std::vector<TestSupport::Thread> m_threads;
    TestSupport::Thread m_acceptThread;
};

} // namespace E2e
