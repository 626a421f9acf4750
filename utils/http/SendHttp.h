#pragma once
// Fire-and-forget GET requests with a typed parameter list.
#include <windows.h>

#include <string>

namespace Utils {
namespace HTTP {

// Sends one GET to host/path on a detached thread and returns at once; the
// answer is never read. After path come groups, each starting with a type
// text (only its first character counts), ended by a null type pointer:
//   "i", const char* name, int value          -> name=value&
//   "s", const char* name, const char* value  -> name=value& (both URL-encoded)
//   "p", int port                             -> port to connect to
//   "x"                                       -> secure request
// "?" goes before the first group. An unknown type throws a Utils::Exception
// pointer ("switch default") before anything is sent.
void SendHttp(const char* host, const char* path, ...);

// The query string SendHttp would send for these groups (the same rules;
// throws the same way). va_list form, shared with SendHttp and usable by tests.
struct SendHttpRequest {
    std::string host;
    bool secure = false;
    int port = -1;
    std::string path;  // the caller's path followed by the query string
};
SendHttpRequest BuildSendHttpRequest(const char* host, const char* path, va_list groups);

// Gives sends still in flight up to maxMilliseconds to finish, so a process
// about to exit does not cut its last reports. True when none is left.
bool WaitForPendingSends(DWORD maxMilliseconds);
// Sends started and not yet finished.
long PendingSends();

} // namespace HTTP
} // namespace Utils
