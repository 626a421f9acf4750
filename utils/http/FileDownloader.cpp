#include "utils/http/FileDownloader.h"

#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "utils/system/System.h"
#include "utils/thread/Thread.h"

namespace Utils {
namespace HTTP {

namespace {

const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;

} // namespace

FileDownloader::FileDownloader(DownloaderListener* listener, const std::string& host, bool secure, int port) {
    OpenConnection(listener, host, secure, port);
}

FileDownloader::~FileDownloader() {
    // Children before parents: a request handle closed after its connection
    // would be an already invalidated handle.
    mh_http_file.Reset();
    mh_http_connection.Reset();
    mh_internet_session.Reset();
}

void FileDownloader::SetListener(DownloaderListener* listener) {
    if (!listener) {
        if (!m_ownListener) m_ownListener.reset(new NullDownloaderListener());
        listener = m_ownListener.get();
    }
    mp_listener = listener;
}

void FileDownloader::OpenConnection(DownloaderListener* listener, const std::string& host, bool secure, int port) {
    SetListener(listener);
    m_szHost = host;

    mh_internet_session.Reset(InternetOpenA("Downloader1.1", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!mh_internet_session) {
        std::printf("Error in OpenConnection - mh_internet_session == NULL\n");
        return;
    }
    if (port == -1) port = secure ? 443 : 80;
    m_nPort = port;
    std::printf("Utils::HTTP::FileDownloader: port=%d\n", port);

    mh_http_connection.Reset(InternetConnectA(mh_internet_session.Get(), host.c_str(),
                                              static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                              INTERNET_SERVICE_HTTP, 0, 0));
    if (!mh_http_connection) {
        std::printf("Error in OpenConnection - mh_http_connection == NULL\n");
        return;
    }
    mh_http_file.Reset();
}

bool FileDownloader::SendRequest(const std::string& path, const std::string& uploadFile,
                                 const std::string& uploadName, bool secure, const std::string& extraHeaders) {
    mb_cancel.store(false);
    mh_http_file.Reset();
    m_bSent = false;
    m_dwSendError = ERROR_INTERNET_INCORRECT_HANDLE_STATE;

    const DWORD flags =
        RequestFlags(secure, mb_cookies, secure && Utils::System::GetOSVersionText(false) == "Windows 98");
    const bool post = !uploadFile.empty();
    const char* acceptTypes[] = {"*/*", nullptr};
    mh_http_file.Reset(HttpOpenRequestA(mh_http_connection.Get(), post ? "POST" : "GET", path.c_str(), nullptr,
                                        nullptr, acceptTypes, flags, 0));
    if (!mh_http_file) {
        m_dwSendError = GetLastError();
        std::printf("Error in OpenConnection - mh_http_file == NULL\n");
        return false;
    }

    if (!extraHeaders.empty()) {
        HttpAddRequestHeadersA(mh_http_file.Get(), extraHeaders.c_str(), static_cast<DWORD>(-1),
                               HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    }
    std::string body;
    if (post) {
        std::string boundary = MakeBoundary();
        std::string header = "Content-Type: multipart/form-data; boundary=" + boundary;
        HttpAddRequestHeadersA(mh_http_file.Get(), header.c_str(), static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD);
        body = BuildMultipartBody(boundary, uploadName.empty() ? uploadFile : uploadName,
                                  ReadUploadFile(uploadFile));
    }

    // A certificate the system does not trust, for another name or out of
    // date fails the request: what cannot be sent securely is not sent.
    const bool bSend = Send(body);
    if (!bSend) {
        m_dwSendError = GetLastError();
        std::printf("Error in OpenConnection - bSend == false\n");
        return false;
    }
    m_bSent = true;
    // A connection closed before a single byte reads as a headerless answer
    // with an empty body (status 0): that is no answer at all, never a whole file.
    if (GetStatusCode() < 100) {
        m_bSent = false;
        m_dwSendError = ERROR_HTTP_INVALID_SERVER_RESPONSE;
        std::printf("Error in OpenConnection - no status line\n");
        return false;
    }
    return true;
}

DWORD FileDownloader::RequestFlags(bool secure, bool cookies, bool windows98) {
    DWORD flags = kRequestFlags;
    if (!cookies) flags |= INTERNET_FLAG_NO_COOKIES;
    if (secure) flags |= INTERNET_FLAG_SECURE | (windows98 ? INTERNET_FLAG_PRAGMA_NOCACHE : 0);
    return flags;
}

bool FileDownloader::Send(const std::string& body) {
    // HttpSendRequestA takes a non-const body pointer; it does not write to it.
    void* data = body.empty() ? nullptr : const_cast<char*>(body.data());
    return HttpSendRequestA(mh_http_file.Get(), "", 0, data, static_cast<DWORD>(body.size())) != FALSE;
}

void FileDownloader::Receive(bool blocking) {
    if (blocking)
        ReadLoop();
    else
        Utils::StartThread(&FileDownloader::ReceiveThread, this);
}

DWORD FileDownloader::ReceiveThread(void* downloader) {
    static_cast<FileDownloader*>(downloader)->ReadLoop();
    return 0;
}

void FileDownloader::ReadLoop() {
    DownloaderListener* listener = mp_listener;
    if (!m_bSent) {
        // A request that was never sent has no body to read; WinINet may not
        // fail the read itself, so the send's error is reported here.
        listener->OnError(static_cast<int>(m_dwSendError ? m_dwSendError : ERROR_INTERNET_INCORRECT_HANDLE_STATE));
        return;
    }
    const long long contentLength = GetContentLength64();
    listener->OnStart(contentLength > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(contentLength));

    // One fixed block for the whole transfer; chunks for the listener are cut
    // from it, so memory stays bounded whatever the body's size.
    std::vector<char> block(kReadBlockSize);
    std::string chunk;
    chunk.reserve(kChunkSize);
    long long received = 0;
    for (;;) {
        if (mb_cancel.load()) {
            listener->OnCanceled();
            return;
        }
        DWORD got = 0;
        if (!InternetReadFile(mh_http_file.Get(), block.data(), kReadBlockSize, &got)) {
            listener->OnError(static_cast<int>(GetLastError()));
            return;
        }
        if (got == 0) break;
        for (DWORD offset = 0; offset < got; offset += kChunkSize) {
            if (offset > 0 && mb_cancel.load()) {
                listener->OnCanceled();
                return;
            }
            chunk.assign(block.data() + offset, std::min<DWORD>(kChunkSize, got - offset));
            if (!listener->OnRecv(chunk)) {
                listener->OnError(-1);
                return;
            }
        }
        received += got;
    }
    // WinINet ends a body cut short by the server like a complete one; a body
    // shorter than announced is a failed transfer, not a finished file.
    if (contentLength >= 0 && received != contentLength) {
        std::printf("Utils::HTTP::FileDownloader: body ended after %lld of %lld bytes\n", received, contentLength);
        listener->OnError(ERROR_INTERNET_CONNECTION_RESET);
        return;
    }
    listener->OnComplete();
}

long long FileDownloader::QueryNumber(DWORD infoLevel) {
    const std::string text = GetHeader(infoLevel);
    if (text.empty()) return -1;
    return std::strtoll(text.c_str(), nullptr, 10);
}

std::string FileDownloader::GetHeader(DWORD infoLevel) {
    // Headers of a request that was never sent are not the server's: Wine
    // answers such a query with an empty status that would read as 0.
    if (!m_bSent) return std::string();
    char text[128] = {0};
    DWORD length = sizeof text - 1;
    if (!HttpQueryInfoA(mh_http_file.Get(), infoLevel, text, &length, nullptr) || length == 0) return std::string();
    text[sizeof text - 1] = '\0';
    return text;
}

int FileDownloader::GetContentLength() {
    const long long length = QueryNumber(HTTP_QUERY_CONTENT_LENGTH);
    return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

long long FileDownloader::GetContentLength64() { return QueryNumber(HTTP_QUERY_CONTENT_LENGTH); }

int FileDownloader::GetStatusCode() { return static_cast<int>(QueryNumber(HTTP_QUERY_STATUS_CODE)); }

std::string FileDownloader::MakeBoundary() {
    static std::atomic<unsigned> counter{0};
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::minstd_rand generator(static_cast<unsigned>(now.QuadPart) ^ (GetCurrentThreadId() << 16) ^ counter++);
    std::uniform_int_distribution<int> draw(0, 32767);
    std::string boundary(27, '-');
    for (int i = 0; i < 3; ++i) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04X", draw(generator));
        boundary += digits;
    }
    return boundary;
}

std::string FileDownloader::BuildMultipartBody(const std::string& boundary, const std::string& announcedName,
                                               const std::string& contents) {
    std::string body;
    body.reserve(contents.size() + boundary.size() * 2 + announcedName.size() + 160);
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"MyFile\"; filename=\"" + announcedName + "\"\r\n";
    body += "Content-Type: application/octet-stream\r\n";
    body += "\r\n";
    body += contents;
    body += "\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
}

std::string FileDownloader::ReadUploadFile(const std::string& path) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file) return std::string();
    LARGE_INTEGER size;
    // One read of the whole file: refuse sizes a single DWORD read cannot carry.
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > 0x7FFFFFFF) return std::string();
    std::string contents(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!ReadFile(file.Get(), &contents[0], static_cast<DWORD>(contents.size()), &read, nullptr)) return std::string();
    contents.resize(read);
    return contents;
}

} // namespace HTTP
} // namespace Utils
