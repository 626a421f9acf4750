#pragma once
// An HTTP/1.1 server on 127.0.0.1 for tests, running on its own threads in the
// test process. It listens on an ephemeral port, answers proxy-style absolute
// targets ("GET http://host:80/path HTTP/1.1") as well as origin-form ones
// ("GET /path HTTP/1.1"), so with ScopedProxy the program keeps its fixed port
// 80 and its real host names while every request lands here. Every request is
// recorded for assertions. Several connections at once and keep-alive work.
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/TestThreads.h"

namespace TestSupport {

struct RecordedRequest {
    std::string method;  // "GET", "POST"
    std::string target;  // exactly as on the request line
    std::string host;    // host name, without port (from an absolute target, else the Host header)
    int port = 80;       // port named by the absolute target or Host header
    std::string path;    // origin form: "/" + path and query
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string body;
    int connection = 0;  // which accepted connection carried it (1, 2, ...)
    int status = 0;      // the status answered (0: none)
    unsigned long long bodyBytes = 0;  // body bytes the answer carried (cut answers: up to the cut)

    // Value of the first header of that name (case-insensitive), "" when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

// How a 200 answer meets a request's single "Range: bytes=..." header.
enum class Ranges {
    Served,     // 206 with that range and its Content-Range; 416 when unsatisfiable
    Ignored,    // 200 with the whole body
    Misplaced,  // 206 with the whole body, "bytes 0-<last>/<size>", whatever was asked
};

struct Response {
    int status = 200;
    std::string reason;  // "" picks a standard phrase
    std::string body;
    bool sendContentLength = true;  // false: no Content-Length, body ends by closing the connection
    size_t closeAfterBytes = std::string::npos;  // close the connection after this many body bytes
    bool neverAnswer = false;  // read the request, then send nothing until the server stops
    bool closeWithoutAnswer = false;  // read the request, then close the connection without a byte
    bool held = false;         // answered only once ReleaseHeld() was called (or the server stops)
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers
    std::string filePath;  // when set, the body is streamed from this local file instead
    // When set, the answer waits until the request for this path (as matched
    // by SetResponse) has been answered, or 20 s at most: answers then arrive
    // in an order the test chooses, whatever the timing.
    std::string answerAfter;
    Ranges ranges = Ranges::Served;
};

class TestHttpServer {
public:
    TestHttpServer();  // binds 127.0.0.1:0 and starts listening
    ~TestHttpServer(); // stops and joins every thread; never-answered clients see a closed connection
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int Port() const { return m_port; }

    // Registers the answer for a path ("/Dl/x.bin", query included or not: a
    // path with query is matched first, then without). host "" matches any host.
    void SetResponse(const std::string& path, const Response& response, const std::string& host = "");
    // Serves files below this folder for paths nothing is registered for.
    void ServeFolder(const std::string& folder);
    // A slow network for the paths that begin with `pathPrefix` ("" for all;
    // the longest prefix set applies): an answer's body goes out in pieces of
    // `bytes`, each after a pause of `pauseMs` (the first one too). 0 bytes:
    // all at once.
    void SetThrottle(size_t bytes, DWORD pauseMs, const std::string& pathPrefix = "");

    std::vector<RecordedRequest> Requests() const;
    size_t RequestCount() const;
    // Waits until at least count requests have been recorded (generous timeout).
    bool WaitForRequests(size_t count, DWORD timeoutMs = 20000) const;
    int ConnectionCount() const;
    void ClearRequests();
    // Lets every held answer go, now and from now on.
    void ReleaseHeld();
    // The paths (as on the request, query included) whose answers were sent
    // in full, in the order that happened.
    std::vector<std::string> AnsweredPaths() const;

private:
    void AcceptLoop();
    void Serve(SOCKET socket, int connection);
    struct Plan;
    Plan Prepare(const RecordedRequest& request) const;
    // False when the connection is to be closed.
    bool Answer(SOCKET socket, const RecordedRequest& request, Plan& plan, bool& keepAlive);
    // False when sending failed.
    bool SendAnswer(SOCKET socket, const RecordedRequest& request, const Plan& plan, bool& keepAlive);
    Response Lookup(const RecordedRequest& request) const;
    bool WaitForStop(DWORD timeoutMs) const;
    bool SendBody(SOCKET socket, const std::string& path, const char* data, size_t size);

    SOCKET m_listener = INVALID_SOCKET;
    int m_port = 0;
    bool m_wsaStarted = false;

    mutable TestSupport::Mutex m_mutex;
    mutable TestSupport::Condition m_changed;
    bool m_stopping = false;
    bool m_released = false;
    std::map<std::pair<std::string, std::string>, Response> m_responses;  // (host, path)
    std::string m_folder;
    std::map<std::string, std::pair<size_t, DWORD>> m_throttles;  // path prefix: piece bytes, pause
    std::vector<RecordedRequest> m_requests;
    std::vector<std::string> m_answered;
    std::set<SOCKET> m_open;
    int m_connections = 0;

    TestSupport::Thread m_acceptThread;
    std::vector<TestSupport::Thread> m_workers;
};

} // namespace TestSupport
