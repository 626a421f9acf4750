#include "support/TestHttpServer.h"

#include "support/TestFiles.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace TestSupport {

namespace {

const char* Phrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool SendAll(SOCKET socket, const char* data, size_t size) {
    while (size > 0) {
        int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        int sent = send(socket, data, chunk, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Splits "host:port" (port 80 when absent).
void SplitHostPort(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(']') == std::string::npos) {
        host = text.substr(0, colon);
        port = std::atoi(text.c_str() + colon + 1);
    } else {
        host = text;
        port = 80;
    }
}

// A single byte range of a body of `size` bytes: "bytes=a-", "bytes=a-b",
// "bytes=-n". Returns 0 when there is none to honour (absent, several, other
// units), 1 with [first, last] set, -1 when unsatisfiable.
int ParseRange(const std::string& header, unsigned long long size, unsigned long long& first,
               unsigned long long& last) {
    if (header.compare(0, 6, "bytes=") != 0 || header.find(',') != std::string::npos) return 0;
    const std::string spec = header.substr(6);
    const size_t dash = spec.find('-');
    if (dash == std::string::npos) return 0;
    const std::string from = spec.substr(0, dash), to = spec.substr(dash + 1);
    if (from.empty()) {
        const unsigned long long suffix = std::strtoull(to.c_str(), nullptr, 10);
        if (suffix == 0 || size == 0) return -1;
        first = suffix >= size ? 0 : size - suffix;
        last = size - 1;
        return 1;
    }
    first = std::strtoull(from.c_str(), nullptr, 10);
    last = to.empty() ? size - 1 : std::min(std::strtoull(to.c_str(), nullptr, 10), size - 1);
    return first < size && first <= last ? 1 : -1;
}

} // namespace

// An answer decided before it goes out: what it sends of which body.
struct TestHttpServer::Plan {
    Response response;
    unsigned long long offset = 0;  // first body byte sent
    unsigned long long length = 0;  // body bytes announced
};

std::string RecordedRequest::Header(const std::string& name) const {
    std::string wanted = Lower(name);
    for (const auto& header : headers)
        if (Lower(header.first) == wanted) return header.second;
    return std::string();
}

bool RecordedRequest::HasHeader(const std::string& name) const {
    std::string wanted = Lower(name);
    for (const auto& header : headers)
        if (Lower(header.first) == wanted) return true;
    return false;
}

TestHttpServer::TestHttpServer() {
    WSADATA data;
    m_wsaStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listener == INVALID_SOCKET) {
        std::fprintf(stderr, "TestHttpServer: socket() failed %d\n", WSAGetLastError());
        return;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 64) != 0) {
        std::fprintf(stderr, "TestHttpServer: bind/listen failed %d\n", WSAGetLastError());
        closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return;
    }
    int length = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = TestSupport::Thread(&TestHttpServer::AcceptLoop, this);
}

TestHttpServer::~TestHttpServer() {
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        m_stopping = true;
        // Wakes every worker blocked in recv; each closes its own socket.
        for (SOCKET open : m_open) shutdown(open, SD_BOTH);
    }
    m_changed.NotifyAll();
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
    m_acceptThread.Join();
    for (TestSupport::Thread& worker : m_workers) worker.Join();
    if (m_wsaStarted) WSACleanup();
}

void TestHttpServer::SetResponse(const std::string& path, const Response& response, const std::string& host) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_responses[std::make_pair(Lower(host), path)] = response;
}

void TestHttpServer::ServeFolder(const std::string& folder) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_folder = folder;
}

void TestHttpServer::SetThrottle(size_t bytes, DWORD pauseMs, const std::string& pathPrefix) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_throttles[pathPrefix] = std::make_pair(bytes, pauseMs);
}

bool TestHttpServer::SendBody(SOCKET socket, const std::string& path, const char* data, size_t size) {
    size_t piece = 0;
    DWORD pauseMs = 0;
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        size_t matched = 0;
        for (const auto& throttle : m_throttles) {
            if (path.compare(0, throttle.first.size(), throttle.first) == 0 && throttle.first.size() >= matched) {
                matched = throttle.first.size();
                piece = throttle.second.first;
                pauseMs = throttle.second.second;
            }
        }
    }
    if (piece == 0) return SendAll(socket, data, size);
    while (size > 0) {
        // The pause ends at once when the server stops.
        if (WaitForStop(pauseMs)) return false;
        const size_t now = std::min(piece, size);
        if (!SendAll(socket, data, now)) return false;
        data += now;
        size -= now;
    }
    return true;
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_requests;
}

size_t TestHttpServer::RequestCount() const {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_requests.size();
}

bool TestHttpServer::WaitForRequests(size_t count, DWORD timeoutMs) const {
    std::unique_lock<TestSupport::Mutex> lock(m_mutex);
    return m_changed.WaitFor(lock, timeoutMs, [&] { return m_requests.size() >= count; });
}

int TestHttpServer::ConnectionCount() const {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_connections;
}

void TestHttpServer::ClearRequests() {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_requests.clear();
    m_answered.clear();
}

std::vector<std::string> TestHttpServer::AnsweredPaths() const {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_answered;
}

bool TestHttpServer::WaitForStop(DWORD timeoutMs) const {
    std::unique_lock<TestSupport::Mutex> lock(m_mutex);
    return m_changed.WaitFor(lock, timeoutMs, [&] { return m_stopping; });
}

void TestHttpServer::AcceptLoop() {
    for (;;) {
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;  // listener closed: stopping
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        if (m_stopping) {
            closesocket(client);
            return;
        }
        m_open.insert(client);
        int connection = ++m_connections;
        m_workers.emplace_back(&TestHttpServer::Serve, this, client, connection);
    }
}

void TestHttpServer::Serve(SOCKET socket, int connection) {
    std::string buffer;
    char block[16384];
    bool keepAlive = true;
    while (keepAlive) {
        // Request line and headers.
        size_t headerEnd;
        while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            int got = recv(socket, block, sizeof block, 0);
            if (got <= 0) goto done;
            buffer.append(block, static_cast<size_t>(got));
        }
        RecordedRequest request;
        request.connection = connection;
        {
            std::string head = buffer.substr(0, headerEnd);
            buffer.erase(0, headerEnd + 4);
            size_t lineEnd = head.find("\r\n");
            std::string line = head.substr(0, lineEnd);
            size_t s1 = line.find(' ');
            size_t s2 = line.rfind(' ');
            if (s1 == std::string::npos || s2 == s1) goto done;
            request.method = line.substr(0, s1);
            request.target = line.substr(s1 + 1, s2 - s1 - 1);
            std::string version = line.substr(s2 + 1);
            size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
            while (pos < head.size()) {
                size_t end = head.find("\r\n", pos);
                if (end == std::string::npos) end = head.size();
                std::string field = head.substr(pos, end - pos);
                size_t colon = field.find(':');
                if (colon != std::string::npos) {
                    std::string value = field.substr(colon + 1);
                    size_t first = value.find_first_not_of(" \t");
                    value = first == std::string::npos ? std::string() : value.substr(first);
                    request.headers.emplace_back(field.substr(0, colon), value);
                }
                pos = end + 2;
            }
            std::string lowerTarget = Lower(request.target);
            if (lowerTarget.compare(0, 7, "http://") == 0 || lowerTarget.compare(0, 8, "https://") == 0) {
                size_t hostStart = request.target.find("//") + 2;
                size_t slash = request.target.find('/', hostStart);
                std::string authority = request.target.substr(hostStart, slash == std::string::npos ? std::string::npos : slash - hostStart);
                SplitHostPort(authority, request.host, request.port);
                request.path = slash == std::string::npos ? "/" : request.target.substr(slash);
            } else {
                SplitHostPort(request.Header("Host"), request.host, request.port);
                request.path = request.target;
            }
            request.host = Lower(request.host);
            std::string connectionHeader = Lower(request.Header("Connection") + request.Header("Proxy-Connection"));
            if (version == "HTTP/1.0")
                keepAlive = connectionHeader.find("keep-alive") != std::string::npos;
            else
                keepAlive = connectionHeader.find("close") == std::string::npos;
        }
        // Body (only Content-Length bodies: WinINet does not send chunked requests).
        {
            size_t length = static_cast<size_t>(std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10));
            while (buffer.size() < length) {
                int got = recv(socket, block, sizeof block, 0);
                if (got <= 0) goto done;
                buffer.append(block, static_cast<size_t>(got));
            }
            request.body = buffer.substr(0, length);
            buffer.erase(0, length);
        }
        Plan plan = Prepare(request);
        request.status = plan.response.status;
        request.bodyBytes = request.method == "HEAD" || plan.response.neverAnswer
                                ? 0
                                : std::min<unsigned long long>(plan.length, plan.response.closeAfterBytes);
        {
            std::lock_guard<TestSupport::Mutex> lock(m_mutex);
            m_requests.push_back(request);
        }
        m_changed.NotifyAll();
        if (!Answer(socket, request, plan, keepAlive)) break;
    }
done:
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        m_open.erase(socket);
    }
    shutdown(socket, SD_SEND);
    closesocket(socket);
}

void TestHttpServer::ReleaseHeld() {
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        m_released = true;
    }
    m_changed.NotifyAll();
}

Response TestHttpServer::Lookup(const RecordedRequest& request) const {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    std::string withoutQuery = request.path.substr(0, request.path.find('?'));
    const std::string* hosts[] = {&request.host, nullptr};
    for (const std::string& path : {request.path, withoutQuery}) {
        for (const std::string* host : hosts) {
            auto found = m_responses.find(std::make_pair(host ? *host : std::string(), path));
            if (found != m_responses.end()) return found->second;
        }
    }
    Response response;
    if (!m_folder.empty()) {
        std::string relative = withoutQuery;
        std::replace(relative.begin(), relative.end(), '/', '\\');
        std::string file = m_folder + (relative.empty() || relative[0] != '\\' ? "\\" : "") + relative;
        if (IsFile(file)) {
            response.filePath = file;
            return response;
        }
    }
    response.status = 404;
    response.body = "<html><body>Not Found: " + request.path + "</body></html>";
    return response;
}

TestHttpServer::Plan TestHttpServer::Prepare(const RecordedRequest& request) const {
    Plan plan;
    plan.response = Lookup(request);
    Response& response = plan.response;
    unsigned long long size = response.body.size();
    if (!response.filePath.empty()) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        size = GetFileAttributesExA(response.filePath.c_str(), GetFileExInfoStandard, &data)
                   ? (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                   : 0;
    }
    plan.length = size;
    unsigned long long first = 0, last = 0;
    const int range = response.status == 200 && response.ranges != Ranges::Ignored
                          ? ParseRange(request.Header("Range"), size, first, last)
                          : 0;
    const std::string total = "/" + std::to_string(size);
    if (range < 0) {
        response.status = 416;
        response.headers.emplace_back("Content-Range", "bytes *" + total);
        plan.length = 0;
    } else if (range > 0 && response.ranges == Ranges::Misplaced) {
        response.status = 206;
        response.headers.emplace_back("Content-Range", "bytes 0-" + std::to_string(size - 1) + total);
    } else if (range > 0) {
        response.status = 206;
        response.headers.emplace_back("Content-Range",
                                      "bytes " + std::to_string(first) + "-" + std::to_string(last) + total);
        plan.offset = first;
        plan.length = last - first + 1;
    }
    return plan;
}

bool TestHttpServer::Answer(SOCKET socket, const RecordedRequest& request, Plan& plan, bool& keepAlive) {
    const Response& response = plan.response;
    if (response.neverAnswer) {
        WaitForStop(INFINITE);
        return false;
    }
    if (response.closeWithoutAnswer) return false;
    if (response.held) {
        std::unique_lock<TestSupport::Mutex> lock(m_mutex);
        m_changed.Wait(lock, [&] { return m_released || m_stopping; });
        if (m_stopping) return false;
    }
    if (!response.answerAfter.empty()) {
        std::unique_lock<TestSupport::Mutex> lock(m_mutex);
        m_changed.WaitFor(lock, 20000, [&] {
            return m_stopping || std::find(m_answered.begin(), m_answered.end(), response.answerAfter) !=
                                     m_answered.end();
        });
    }
    const bool sent = SendAnswer(socket, request, plan, keepAlive);
    if (sent) {
        {
            std::lock_guard<TestSupport::Mutex> lock(m_mutex);
            m_answered.push_back(request.path);
        }
        m_changed.NotifyAll();
    }
    return sent && keepAlive;
}

bool TestHttpServer::SendAnswer(SOCKET socket, const RecordedRequest& request, const Plan& plan, bool& keepAlive) {
    const Response& response = plan.response;
    // Body source: a file is streamed, so even a large one costs a small buffer.
    std::ifstream file;
    const unsigned long long length = plan.length;
    if (!response.filePath.empty()) {
        file.open(response.filePath, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(plan.offset), std::ios::beg);
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       (response.reason.empty() ? Phrase(response.status) : response.reason) + "\r\n";
    for (const auto& header : response.headers) head += header.first + ": " + header.second + "\r\n";
    if (response.sendContentLength) {
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    } else {
        keepAlive = false;
    }
    if (response.closeAfterBytes != std::string::npos) keepAlive = false;
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    if (!SendAll(socket, head.data(), head.size())) return false;
    if (request.method == "HEAD") return true;

    unsigned long long limit = std::min<unsigned long long>(length, response.closeAfterBytes);
    if (file.is_open()) {
        std::vector<char> block(256 * 1024);
        unsigned long long sent = 0;
        while (sent < limit) {
            size_t want = static_cast<size_t>(std::min<unsigned long long>(block.size(), limit - sent));
            file.read(block.data(), static_cast<std::streamsize>(want));
            size_t got = static_cast<size_t>(file.gcount());
            if (got == 0 || !SendBody(socket, request.path, block.data(), got)) return false;
            sent += got;
        }
    } else if (!SendBody(socket, request.path, response.body.data() + plan.offset, static_cast<size_t>(limit))) {
        return false;
    }
    return true;
}

} // namespace TestSupport
