#pragma once
// The program's HTTP client: a thin layer over WinINet. One object holds one
// session and one connection to one host, sends one request at a time and
// hands the response body, chunk by chunk, to a listener.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "utils/Handles.h"

namespace Utils {
namespace HTTP {

// Receives a response body. Exactly one of OnComplete, OnCanceled and OnError
// ends every transfer.
class DownloaderListener {
public:
    virtual ~DownloaderListener() {}
    // One chunk of the body: 1 to 1024 bytes of raw data, in order. Returning
    // false aborts the transfer (OnError(-1) follows).
    virtual bool OnRecv(const std::string& chunk) = 0;
    // The whole body has arrived (as many bytes as Content-Length announced).
    virtual void OnComplete() = 0;
    // The transfer stopped because Cancel() was called.
    virtual void OnCanceled() {}
    // The transfer failed: the platform error code of the failed read, -1 when
    // OnRecv refused a chunk.
    virtual void OnError(int code) = 0;
    // Called once by Receive before the first chunk, with the response's
    // Content-Length (-1 when unknown), so a listener can scale its progress.
    virtual void OnStart(int contentLength) { (void)contentLength; }
};

// Used when no listener is given: accepts and drops everything.
class NullDownloaderListener : public DownloaderListener {
public:
    bool OnRecv(const std::string&) override { return true; }
    void OnComplete() override {}
    void OnCanceled() override {}
    void OnError(int) override {}
};

class FileDownloader {
public:
    // listener: not owned; null uses a NullDownloaderListener of our own.
    // port -1: 443 when secure, else 80. Never fails visibly: a handle that
    // cannot be opened leaves a trace line and every later request fails.
    FileDownloader(DownloaderListener* listener, const std::string& host, bool secure, int port);
    virtual ~FileDownloader();
    FileDownloader(const FileDownloader&) = delete;
    FileDownloader& operator=(const FileDownloader&) = delete;

    // Opens and sends one request; path is the object name as given (WinINet
    // puts a "/" before a name that has none). An empty uploadFile makes a GET,
    // otherwise a POST of the file as multipart field "MyFile". secure must
    // match the constructor's. True when the request was sent.
    // extraHeaders: more request header lines, each ending in "\r\n".
    bool SendRequest(const std::string& path, const std::string& uploadFile, const std::string& uploadName,
                     bool secure, const std::string& extraHeaders = "");
    // Runs the read loop: blocking on this thread, or on a detached worker
    // (the object must then live until the listener has been told the end).
    void Receive(bool blocking);
    int GetContentLength();  // -1 when missing or unreadable
    long long GetContentLength64();  // the same without the 2 GiB limit
    // A response header's value (HTTP_QUERY_...), "" when missing.
    std::string GetHeader(DWORD infoLevel);
    int GetStatusCode();     // -1 when unreadable
    // Asks a running read loop to stop (any thread); it ends with OnCanceled.
    void Cancel() { mb_cancel.store(true); }

    int GetPort() const { return m_nPort; }
    const std::string& Host() const { return m_szHost; }

    // Whether the next requests send and store cookies (true at first). Without,
    // WinINet skips its cookie store, a look-up in its URL cache under a
    // machine-wide lock on every request.
    void SetCookies(bool send) { mb_cookies = send; }

    // The listener of the next transfers (not owned; null: drop the body).
    // One downloader can thus fetch file after file over its session and
    // connection, and a caller can look at the answer before it decides
    // where the body goes. Not while a read loop runs.
    void SetListener(DownloaderListener* listener);

    // Bytes requested from WinINet per read; the listener still gets chunks of
    // at most kChunkSize. Large reads matter: every read costs a round trip.
    static constexpr DWORD kReadBlockSize = 256 * 1024;
    static constexpr DWORD kChunkSize = 1024;

    // The flags of every request: reload, no cache write, keep the
    // connection; no cookies when not asked for; secure requests check the
    // certificate's authority, name and dates (none of the ignore flags), and
    // on Windows 98 also ask proxies not to cache.
    static DWORD RequestFlags(bool secure, bool cookies, bool windows98);

    // Multipart upload pieces (public for tests).
    static std::string MakeBoundary();
    static std::string BuildMultipartBody(const std::string& boundary, const std::string& announcedName,
                                          const std::string& contents);
    // The whole file in one read; empty when it cannot be opened.
    static std::string ReadUploadFile(const std::string& path);

private:
    void OpenConnection(DownloaderListener* listener, const std::string& host, bool secure, int port);
    bool Send(const std::string& body);
    void ReadLoop();
    long long QueryNumber(DWORD infoLevel);
    static DWORD ReceiveThread(void* downloader);

    DownloaderListener* mp_listener = nullptr;
    InternetHandle mh_internet_session;
    InternetHandle mh_http_connection;
    InternetHandle mh_http_file;
    std::atomic<bool> mb_cancel{false};
    bool mb_cookies = true;

    std::unique_ptr<NullDownloaderListener> m_ownListener;
    std::string m_szHost;
    int m_nPort = 0;
    bool m_bSent = false;       // the current request was sent successfully
    DWORD m_dwSendError = 0;    // why it was not
};

} // namespace HTTP
} // namespace Utils
