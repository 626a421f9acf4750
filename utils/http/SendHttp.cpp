#include "utils/http/SendHttp.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "utils/Event.h"
#include "utils/Exception.h"
#include "utils/Lockable.h"
#include "utils/http/FileDownloader.h"
#include "utils/string/String.h"
#include "utils/thread/Thread.h"

namespace Utils {
namespace HTTP {

namespace {

// Sends in flight. `idle` is signalled exactly while the count is zero; both
// change together under the lock.
struct PendingCount : Lockable {
    long count = 0;
    Event idle{true, true};
};

// Never destroyed: detached send threads may still finish while the process
// runs its exit code.
PendingCount& Pending() {
    static PendingCount* const pending = new PendingCount();
    return *pending;
}

void AddPending(long delta) {
    PendingCount& pending = Pending();
    AutoLock lock(pending);
    pending.count += delta;
    if (pending.count <= 0)
        pending.idle.Set();
    else
        pending.idle.Reset();
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
    return Pending().idle.Wait(maxMilliseconds);
}

long PendingSends() {
    PendingCount& pending = Pending();
    AutoLock lock(pending);
    return pending.count;
}

} // namespace HTTP
} // namespace Utils
