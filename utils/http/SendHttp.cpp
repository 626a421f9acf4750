#include "utils/http/SendHttp.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include <condition_variable>
#include <chrono>
#include <mutex>

#include "utils/Exception.h"
#include "utils/http/FileDownloader.h"
#include "utils/string/String.h"
#include "utils/thread/Thread.h"

namespace Utils {
namespace HTTP {

namespace {

std::mutex g_pendingMutex;
std::condition_variable g_pendingDone;
long g_pending = 0;

void AddPending(long delta) {
    {
        std::lock_guard<std::mutex> lock(g_pendingMutex);
        g_pending += delta;
    }
    g_pendingDone.notify_all();
}

DWORD SendThread(void* argument) {
    std::unique_ptr<SendHttpRequest> record(static_cast<SendHttpRequest*>(argument));
    try {
        std::printf("http://%s/%s\n", record->host.c_str(), record->path.c_str());
        FileDownloader downloader(nullptr, record->host, record->secure, record->port);
        downloader.SendRequest(record->path, std::string(), std::string(), record->secure);
    } catch (Utils::Exception* exception) {
        delete exception;
    } catch (...) {
    }
    record.reset();
    AddPending(-1);
    return 0;
}

} // namespace

SendHttpRequest BuildSendHttpRequest(const char* host, const char* path, va_list groups) {
    SendHttpRequest request;
    request.host = host ? host : "";
    request.path = path ? path : "";
    bool first = true;
    std::string encoded;
    for (const char* type = va_arg(groups, const char*); type; type = va_arg(groups, const char*)) {
        if (first) request.path += "?";
        first = false;
        std::printf("Test param_type = %s\n", type);
        switch (type[0]) {
        case 'i': {
            const char* name = va_arg(groups, const char*);
            int value = va_arg(groups, int);
            request.path += Utils::String::UrlEncode(name ? name : "", encoded);
            request.path += "=" + std::to_string(value) + "&";
            break;
        }
        case 's': {
            const char* name = va_arg(groups, const char*);
            const char* value = va_arg(groups, const char*);
            request.path += Utils::String::UrlEncode(name ? name : "", encoded);
            request.path += "=";
            request.path += Utils::String::UrlEncode(value ? value : "", encoded);
            request.path += "&";
            break;
        }
        case 'p':
            request.port = va_arg(groups, int);
            break;
        case 'x':
            request.secure = true;
            break;
        default:
            throw new Utils::Exception("Utils::HTTP::SendHttp", "switch default", 0);
        }
    }
    return request;
}

void SendHttp(const char* host, const char* path, ...) {
    va_list groups;
    va_start(groups, path);
    std::unique_ptr<SendHttpRequest> record;
    try {
        record.reset(new SendHttpRequest(BuildSendHttpRequest(host, path, groups)));
    } catch (...) {
        va_end(groups);
        throw;
    }
    va_end(groups);
    AddPending(1);
    Utils::StartThread(&SendThread, record.release());
}

bool WaitForPendingSends(DWORD maxMilliseconds) {
    std::unique_lock<std::mutex> lock(g_pendingMutex);
    return g_pendingDone.wait_for(lock, std::chrono::milliseconds(maxMilliseconds), [] { return g_pending <= 0; });
}

long PendingSends() {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pending;
}

} // namespace HTTP
} // namespace Utils
