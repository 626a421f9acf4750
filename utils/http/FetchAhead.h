#pragma once
// Fetching ahead: up to N downloads at once, each into the temporary file it
// is given, on worker threads; the finished downloads are handed back one at a
// time and in the order they were asked for to the one thread that commits
// them (decodes, checks, moves into place, records). Over the internet every
// request waits a round trip for its first byte; with N requests under way
// those waits overlap instead of adding up.
//
// Threading contract:
// - One thread, the committing thread, constructs the object, calls Next and
//   Stop and destroys it. Workers (Utils::StartThread) do nothing but fetch.
// - A result handed out by Next belongs to the committing thread, temporary
//   file included (to be moved into place or removed). Files of fetches not
//   handed out belong to the object: Stop (and the destructor) removes them.
// - At most N fetches run at once (N workers), and at most 2N are started
//   and not yet done with: the one being committed counts until the next call
//   of Next. So while the committing thread is held up on one file, the
//   workers go on with up to N more instead of waiting with their connections
//   idle. N = 1 fetches strictly one file after another, never during a commit.
// - The progress sink is called on worker threads and on the committing
//   thread, one call at a time, with the object's lock held: its calls must
//   not wait for the committing thread (the dialog's post messages or wait
//   for the dialog's own thread, which never takes this lock). It shows one
//   file: the oldest
//   fetch not yet handed out, from the moment the committing thread waits for
//   it; while a file is being committed the bar stays where that file ended.
//   Each file gets at most one SetRange and no more positions than a single
//   download reports.
// - Failures are not shown: the listener's message travels in the result,
//   and the committing thread decides what to show when it reaches that file.
//
// Use: one request per file of the pass, tempPath the file the download is
// staged in; then
//     FetchAhead fetch(requests, ORVANTA_FETCH_AHEAD, fileBar);
//     while (fetch.Next(result)) {
//         if (!result.Succeeded()) { show result.failure; remove its file; stop }
//         check, unpack, move into place, record requests[result.index]
//     }
// Leaving the loop early (return, exception) discards the rest: the
// destructor stops the workers and removes what they fetched.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "utils/Event.h"
#include "utils/Handles.h"
#include "utils/Lockable.h"
#include "utils/Result.h"
#include "utils/http/ProgressSink.h"

namespace Utils {
namespace HTTP {

class FileDownloader;

// One file to fetch.
// More fields may follow; each defaults to what a plain download does.
struct FetchRequest {
    std::string server;      // host name; port 80, no TLS
    std::string remoteName;  // request target, sent as given
    std::string tempPath;    // where the body is written: folders and file are created, an old file truncated
    bool flush = false;      // the file is flushed to the disk before the fetch counts as done
    bool cookies = true;     // false: the request neither sends nor stores cookies
};

// What became of one fetch.
struct FetchResult {
    size_t index = 0;          // position in the request list
    bool transferred = false;  // the whole body arrived, was written and the file closed
    int status = -1;           // the HTTP status, -1 when none was read
    std::string failure;       // the message the file listener reported, "" when none
    long long length = -1;     // the body's length as the answer gave it; -1 unknown
    Utils::Result outcome;     // why it did not succeed (FileDownloaderListener::Outcome)
    // As a single download is judged: transferred and a status below 400.
    bool Succeeded() const { return transferred && status < 400; }
};

class FetchAhead {
public:
    static const int kMaxAhead = 16;

    // Starts min(ahead, number of requests) workers at once (ahead is kept
    // within 1..kMaxAhead). progress: not owned, outlives the object. When no
    // worker thread can be started, Next fetches on the committing thread.
    FetchAhead(const std::vector<FetchRequest>& requests, int ahead, ProgressSink& progress);
    // Stop().
    ~FetchAhead();
    FetchAhead(const FetchAhead&) = delete;
    FetchAhead& operator=(const FetchAhead&) = delete;

    // Blocks until the next fetch in request order has ended and hands it
    // over. The results handed out are the requests from the first on, up to
    // and including the first one that did not succeed: after a failure, and
    // after Stop, Next returns false, as it does when every request has been
    // handed out. A failure stops the start of later fetches and cancels the
    // later ones under way; earlier ones still complete and are handed out.
    bool Next(FetchResult& result);

    // Starts nothing more, cancels the fetches under way (a request waiting
    // for its answer ends when the answer comes or WinINet gives up on it),
    // waits for every worker to end and removes the temporary files of
    // fetches not handed out. Idempotent.
    void Stop();

    int Workers() const { return m_nWorkers; }

private:
    enum State { WAITING, RUNNING, DONE, HANDED_OUT };
    struct Job {
        State state = WAITING;
        FetchResult result;
        int range = 0;       // the file bar's range once the answer's headers are in; 0 before
        int position = -1;   // the last position reported, -1 none
        long long done = 0;     // bytes in its file, as last reported
        long long length = -1;  // the answer's length; -1 unknown
        bool cancel = false;
        FileDownloader* running = nullptr;  // while its body is read: what Cancel reaches
    };
    class JobProgress;

    static DWORD WorkerThread(void* self);
    void WorkerLoop();
    // Fetches one request with the worker's downloader (kept across requests
    // to the same host: session and connection are reused).
    void Fetch(size_t index, std::unique_ptr<FileDownloader>& downloader);
    void Finish(size_t index, const FetchResult& result);
    // Under the lock: the progress of one job, shown when the bar follows it.
    void JobStarted(size_t index, int range);
    void JobPosition(size_t index, int position);
    void JobBytes(size_t index, long long done, long long length);
    void CancelFrom(size_t first);  // under the lock
    void ReleaseSlots(LONG count);

    const std::vector<FetchRequest> m_requests;  // read by every thread, never changed
    ProgressSink& m_progress;

    Lockable m_lock;  // guards everything below but the events and the semaphore
    std::vector<Job> m_jobs;
    size_t m_limit;            // fetches with an index below this may start and be handed out
    size_t m_nextToStart = 0;
    size_t m_nextToHand = 0;
    size_t m_followed;         // the job the file bar shows; none before the first Next
    bool m_slotHeld = false;   // the last result handed out still holds its slot
    bool m_stopping = false;
    bool m_stopped = false;
    int m_nWorkers = 0;        // started
    int m_nAlive = 0;          // started and not yet ended

    KernelHandle m_slots;      // semaphore: fetches that may start before one is done with (2N; 1 when N = 1)
    Event m_finished;          // auto-reset: a fetch has ended (the committing thread waits)
    Event m_allEnded;          // manual-reset: the last worker has ended
};

} // namespace HTTP
} // namespace Utils
