#include "utils/http/FetchAhead.h"

#include <memory>

#include "utils/http/FileDownloader.h"
#include "utils/http/FileDownloaderListener.h"
#include "utils/thread/Thread.h"

namespace Utils {
namespace HTTP {

namespace {
const size_t kNone = static_cast<size_t>(-1);
const LONG kMaxSlots = 0x7FFFFFFF;
} // namespace

// What one download's listener reports: positions go to the object (shown
// when the bar follows this file), the first failure text is kept.
class FetchAhead::JobProgress : public ProgressSink {
public:
    JobProgress(FetchAhead& owner, size_t index) : m_owner(owner), m_index(index) {}
    void SetPosition(int position) override { m_owner.JobPosition(m_index, position); }
    void SetBytes(long long done, long long length) override { m_owner.JobBytes(m_index, done, length); }
    void ReportFailure(const std::string& text) override {
        if (m_failure.empty()) m_failure = text;
    }
    const std::string& Failure() const { return m_failure; }

private:
    FetchAhead& m_owner;
    size_t m_index;
    std::string m_failure;
};

FetchAhead::FetchAhead(const std::vector<FetchRequest>& requests, int ahead, ProgressSink& progress)
    : m_requests(requests),
      m_progress(progress),
      m_jobs(requests.size()),
      m_limit(requests.size()),
      m_followed(kNone),
      m_finished(false),
      m_allEnded(true) {
    if (ahead < 1) ahead = 1;
    if (ahead > kMaxAhead) ahead = kMaxAhead;
    for (size_t i = 0; i < m_jobs.size(); ++i) m_jobs[i].result.index = i;
    // Fetched files may wait for the committing thread, as many as there are
    // workers, while the workers fetch on (none with one worker: strictly serial).
    const LONG slots = ahead > 1 ? 2 * ahead : 1;
    m_slots.Reset(CreateSemaphoreA(nullptr, slots, kMaxSlots, nullptr));
    if (!m_slots || !m_finished.IsValid() || !m_allEnded.IsValid()) return;  // Next fetches itself

    const size_t wanted = requests.size() < static_cast<size_t>(ahead) ? requests.size() : ahead;
    AutoLock lock(m_lock);
    for (size_t i = 0; i < wanted; ++i) {
        if (!StartThread(&FetchAhead::WorkerThread, this)) break;
        ++m_nWorkers;
        ++m_nAlive;
        m_allEnded.Reset();
    }
}

FetchAhead::~FetchAhead() { Stop(); }

DWORD FetchAhead::WorkerThread(void* self) {
    static_cast<FetchAhead*>(self)->WorkerLoop();
    return 0;
}

void FetchAhead::WorkerLoop() {
    {
        std::unique_ptr<FileDownloader> downloader;
        for (;;) {
            WaitForSingleObject(m_slots.Get(), INFINITE);
            size_t index;
            {
                AutoLock lock(m_lock);
                if (m_stopping || m_nextToStart >= m_limit) {
                    // Nothing will ever start again: the slot wakes the next waiting worker.
                    ReleaseSlots(1);
                    break;
                }
                index = m_nextToStart++;
                m_jobs[index].state = RUNNING;
            }
            Fetch(index, downloader);
        }
    }
    // The last thing a worker does: once the event is set the object may be gone.
    bool last;
    {
        AutoLock lock(m_lock);
        last = --m_nAlive == 0;
    }
    if (last) m_allEnded.Set();
}

void FetchAhead::Fetch(size_t index, std::unique_ptr<FileDownloader>& downloader) {
    const FetchRequest& request = m_requests[index];
    JobProgress progress(*this, index);
    FetchResult result;
    result.index = index;
    try {
        // The answer's status and length are read from the downloader; a
        // downloader of another host cannot carry the request.
        if (!downloader || downloader->Host() != request.server) {
            downloader.reset();
            downloader.reset(new FileDownloader(nullptr, request.server, false, -1));
        }
        FileDownloaderListener listener(request.tempPath, progress);
        listener.m_bFlushOnComplete = request.flush;
        downloader->SetListener(&listener);
        downloader->SetCookies(request.cookies);
        bool go;
        {
            AutoLock lock(m_lock);
            go = !m_jobs[index].cancel;
        }
        bool partOfAFile = false;  // a 206: no range was asked for, so it is not the file
        if (go) {
            downloader->SendRequest(request.remoteName, "", "", false);
            partOfAFile = downloader->GetStatusCode() == 206;
            const int range = ProgressScale(downloader->GetContentLength()).Range();
            AutoLock lock(m_lock);
            Job& job = m_jobs[index];
            go = !job.cancel;
            if (go && !partOfAFile) job.running = downloader.get();
            JobStarted(index, range);
        }
        if (go && partOfAFile) {
            result.status = 206;
            result.outcome = Result::Failure(Reason::HttpStatus, 206, "a range nobody asked for");
        } else if (go) {
            downloader->Receive(true);
            {
                AutoLock lock(m_lock);
                m_jobs[index].running = nullptr;
            }
            result.status = downloader->GetStatusCode();
            result.transferred = listener.m_bSuccess;
            result.outcome = listener.Outcome(result.status);
        } else {
            result.outcome = Result::Failure(Reason::Cancelled);
        }
        downloader->SetListener(nullptr);
    } catch (...) {
        // Nothing escapes a worker: a fetch that threw is a failed fetch.
        result.transferred = false;
        result.outcome = Result::Failure(Reason::OutOfMemory);
        AutoLock lock(m_lock);
        m_jobs[index].running = nullptr;
    }
    result.failure = progress.Failure();
    Finish(index, result);
}

void FetchAhead::Finish(size_t index, const FetchResult& result) {
    {
        AutoLock lock(m_lock);
        Job& job = m_jobs[index];
        job.result = result;
        job.state = DONE;
        // The first failure in request order ends the run there: nothing
        // after it starts, what runs after it is cancelled.
        if (!result.Succeeded() && index < m_limit) {
            m_limit = index + 1;
            CancelFrom(index + 1);
        }
    }
    m_finished.Set();
}

void FetchAhead::CancelFrom(size_t first) {
    for (size_t i = first; i < m_jobs.size(); ++i) {
        Job& job = m_jobs[i];
        if (job.state != RUNNING) continue;
        job.cancel = true;
        if (job.running) job.running->Cancel();
    }
}

void FetchAhead::JobStarted(size_t index, int range) {
    Job& job = m_jobs[index];
    job.range = range;
    if (index == m_followed) m_progress.SetRange(range);
}

void FetchAhead::JobPosition(size_t index, int position) {
    AutoLock lock(m_lock);
    Job& job = m_jobs[index];
    job.position = position;
    if (index == m_followed) m_progress.SetPosition(position);
}

void FetchAhead::JobBytes(size_t index, long long done, long long length) {
    AutoLock lock(m_lock);
    Job& job = m_jobs[index];
    const bool answered = job.done == 0 && job.length < 0 && length >= 0;
    job.done = done;
    job.length = length;
    if (answered) m_progress.AnswerLength(index, length);
    if (index == m_followed) m_progress.SetBytes(done, length);
}

void FetchAhead::ReleaseSlots(LONG count) {
    if (m_slots) ReleaseSemaphore(m_slots.Get(), count, nullptr);
}

bool FetchAhead::Next(FetchResult& result) {
    size_t index;
    bool fetchHere = false;
    {
        AutoLock lock(m_lock);
        if (m_slotHeld) {
            // The caller is done with the file handed out last.
            m_slotHeld = false;
            ReleaseSlots(1);
        }
        if (m_stopping || m_nextToHand >= m_limit) return false;
        index = m_nextToHand;
        m_followed = index;
        const Job& job = m_jobs[index];
        // The bar takes this file over with what it has shown so far.
        if (job.range > 0) m_progress.SetRange(job.range);
        if (job.position >= 0) m_progress.SetPosition(job.position);
        if (job.range > 0) m_progress.SetBytes(job.done, job.length);
        if (job.state == WAITING && m_nAlive == 0) {
            // No worker could be started (or none is left): fetch it here.
            fetchHere = true;
            m_jobs[index].state = RUNNING;
            m_nextToStart = index + 1;
        }
    }
    if (fetchHere) {
        std::unique_ptr<FileDownloader> downloader;
        Fetch(index, downloader);
    }
    for (;;) {
        {
            AutoLock lock(m_lock);
            Job& job = m_jobs[index];
            if (job.state == DONE) {
                job.state = HANDED_OUT;
                result = job.result;
                result.length = job.length;
                ++m_nextToHand;
                m_slotHeld = true;
                return true;
            }
        }
        m_finished.Wait(INFINITE);
    }
}

void FetchAhead::Stop() {
    {
        AutoLock lock(m_lock);
        if (m_stopped) return;
        m_stopping = true;
        CancelFrom(0);
    }
    // Every worker waiting for a slot wakes, sees the stop and passes its slot on.
    ReleaseSlots(m_nWorkers > 0 ? m_nWorkers : 1);
    m_allEnded.Wait(INFINITE);
    AutoLock lock(m_lock);
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        if (m_jobs[i].state == DONE || m_jobs[i].state == RUNNING) DeleteFileA(m_requests[i].tempPath.c_str());
    }
    m_stopped = true;
}

} // namespace HTTP
} // namespace Utils
