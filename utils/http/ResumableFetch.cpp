#include "utils/http/ResumableFetch.h"

#include <windows.h>
#include <wininet.h>

#include "utils/PlainFile.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/FileDownloaderListener.h"

namespace Utils {
namespace HTTP {

namespace {

// The bytes a kept file holds, when it may be continued: a plain file of one
// link (not a link planted in its place). Anything else is removed (the name,
// never what it points to) and counts as nothing kept.
long long KeptBytes(const std::string& path) {
    LARGE_INTEGER size = {};
    const Utils::FileHandle kept = Utils::OpenPlainFile(path, GENERIC_READ);
    if (kept && GetFileSizeEx(kept.Get(), &size)) return size.QuadPart;
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) DeleteFileA(path.c_str());
    return 0;
}

// Decimal digits at `at` (at most 18, so the value cannot overflow); moves past them.
bool ReadNumber(const std::string& text, size_t& at, long long& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 18) {
        value = value * 10 + (text[at] - '0');
        ++at;
    }
    return at > start && (at == text.size() || text[at] < '0' || text[at] > '9');
}

bool Expect(const std::string& text, size_t& at, char wanted) {
    if (at >= text.size() || text[at] != wanted) return false;
    ++at;
    return true;
}

} // namespace

bool ContinuesAt(const std::string& contentRange, long long have, long long contentLength, long long* promised) {
    const std::string unit = "bytes ";
    if (contentRange.compare(0, unit.size(), unit) != 0) return false;
    size_t at = unit.size();
    long long first = 0, last = 0, total = -1;
    if (!ReadNumber(contentRange, at, first) || !Expect(contentRange, at, '-') ||
        !ReadNumber(contentRange, at, last) || !Expect(contentRange, at, '/')) {
        return false;
    }
    if (contentRange.compare(at, std::string::npos, "*") != 0 &&
        (!ReadNumber(contentRange, at, total) || at != contentRange.size())) {
        return false;
    }
    const bool continues = first == have && last >= first && (total < 0 || total == last + 1) &&
                           (contentLength < 0 || contentLength == last - first + 1);
    if (continues && promised) *promised = last - first + 1;
    return continues;
}

FileFetchResult FetchIntoFile(const std::string& host, const std::string& path, const std::string& file, bool resume,
                          ProgressSink& progress) {
    FileFetchResult result;
    long long have = resume ? KeptBytes(file) : 0;
    FileDownloader downloader(nullptr, host, false, -1);
    const std::string range = have > 0 ? "Range: bytes=" + std::to_string(have) + "-\r\n" : std::string();
    const bool sent = downloader.SendRequest(path, "", "", false, range);
    int status = downloader.GetStatusCode();
    long long promised = -1;  // body bytes an appended answer may carry
    if (sent && have > 0) {
        const bool continues = status == 206 && ContinuesAt(downloader.GetHeader(HTTP_QUERY_CONTENT_RANGE), have,
                                                             downloader.GetContentLength64(), &promised);
        if (!continues && (status == 206 || status == 416)) {
            // The kept bytes are not part of what the server has now, or it
            // answered for other bytes than the rest: the whole body, once.
            DeleteFileA(file.c_str());
            have = 0;
            downloader.SendRequest(path, "", "", false);
            status = downloader.GetStatusCode();
        } else if (!continues) {
            have = 0;  // a whole body (ranges ignored) or an error page: from zero
        }
    }
    if (status == 206 && have == 0) {
        // Part of a file, asked for or not, never stands for the whole.
        result.status = status;
        result.outcome = Utils::Result::Failure(Utils::Reason::HttpStatus, 206, "a range nobody asked for");
        return result;
    }
    // Without any answer the kept bytes stay as they are (have > 0 appends nothing).
    const long long length = downloader.GetContentLength64();
    progress.SetRange(ProgressScale(length >= 0 ? have + length : -1).Range());
    FileDownloaderListener listener(file, progress, have);
    if (have > 0) listener.m_nLimit = promised;
    downloader.SetListener(&listener);
    downloader.Receive(true);

    result.status = status;
    result.resumedFrom = have;
    result.received = listener.m_nBytesWritten;
    result.outcome = listener.Outcome(status);
    if (listener.m_bSuccess) {
        result.end = status >= 400 ? FetchEnd::Failed : FetchEnd::Complete;
    } else if (listener.m_nError != 0 && listener.m_nError != -1 && (status == 200 || status == 206 || status < 0)) {
        result.end = FetchEnd::Cut;
    }
    return result;
}

} // namespace HTTP
} // namespace Utils
