#pragma once
// One download into a file that may already hold the body's first part, left
// by an earlier, interrupted download of the same remote file. Only the rest
// is asked for ("Range: bytes=<have>-"), and it is appended only when the
// server answers that it is exactly that rest; any other answer starts the
// file again from its first byte.
//
// Keeps no state between calls and touches nothing but its file, its own
// connection and the ProgressSink: any thread may call it, one call per file
// at a time.
#include <string>

#include "utils/Result.h"
#include "utils/http/ProgressSink.h"

namespace Utils {
namespace HTTP {

enum class FetchEnd {
    Complete,  // the file holds the whole body of a successful answer
    Cut,       // a successful answer stopped early, or none came: the file holds
               // an unbroken first part of the body (maybe none), fit to resume
    Failed,    // an error status (the file holds its body), a refused write, a cancel
};

struct FileFetchResult {
    FetchEnd end = FetchEnd::Failed;
    int status = -1;            // the status of the answer whose body was read (-1: none)
    long long resumedFrom = 0;  // bytes kept from before (0: the file was written from its start)
    long long received = 0;     // body bytes that arrived in this call
    Utils::Result outcome;      // why it is not Complete (FileDownloaderListener::Outcome)
};

// Downloads `path` from `host` (port 80) into `file`, blocking. Without
// `resume`, or with a missing or empty file, one plain GET whose body replaces
// the file (as a FileDownloaderListener writes it). With `resume` and N bytes
// in the file (only a plain file of one link counts: a link or a folder in
// its place is removed, the name only, and counts as nothing kept), the
// request asks for "bytes=N-" and:
//  - 206 with a Content-Range that continues the file (ContinuesAt): appended;
//  - 200 (ranges ignored) or another status below 400: written from zero;
//  - 416, or a 206 for any other range: the file is dropped and the whole body
//    asked for once more on the same connection.
// An appended body ends where its Content-Range said: a byte more fails the
// transfer (Failed, HttpStatus 206) with the file holding only what was
// promised. A 206 to a request that asked for no range is refused unread
// (Failed, HttpStatus 206): its body is not the file from its first byte.
// The sink gets the bar's range (the whole file's size when it is known) and
// positions that count the kept bytes as done, and every failure, as a
// FileDownloaderListener reports it.
FileFetchResult FetchIntoFile(const std::string& host, const std::string& path, const std::string& file, bool resume,
                          ProgressSink& progress);

// Whether an answer to "bytes=have-" continues a file of `have` bytes: a
// Content-Range of "bytes have-last/total" with last >= have, a total that is
// "*" or last + 1, and a Content-Length (-1: unknown) of last - have + 1.
// promised (when given) receives last - have + 1.
bool ContinuesAt(const std::string& contentRange, long long have, long long contentLength,
                 long long* promised = nullptr);

} // namespace HTTP
} // namespace Utils
