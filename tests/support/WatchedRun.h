#pragma once
// One run of a program in a job object of its own, its output read line by
// line as it comes, so that a test can act the moment a line appears: e.g.
// kill the program and all it started at once, as on a power cut.
#include <windows.h>

#include <string>
#include <vector>

#include "support/TestProcess.h"
#include "support/TestThreads.h"

namespace TestSupport {

class WatchedRun {
public:
    // The exit code of a run that Kill() ended.
    static constexpr DWORD kKilled = 99;

    WatchedRun() = default;
    WatchedRun(const WatchedRun&) = delete;
    WatchedRun& operator=(const WatchedRun&) = delete;
    ~WatchedRun();

    // Starts "<exe>" arguments hidden, in that folder; false when it cannot.
    bool Start(const std::string& exe, const std::string& arguments, const std::string& folder);

    // Waits until ready(lines) holds; false when the output ended first or
    // the time ran out.
    template <typename Ready>
    bool WaitFor(DWORD timeoutMs, Ready ready) {
        std::unique_lock<Mutex> lock(m_mutex);
        m_changed.WaitFor(lock, timeoutMs, [&] { return m_ended || ready(m_lines); });
        return ready(m_lines);
    }

    // Ends the program and everything it started, now.
    void Kill() { m_process.Kill(kKilled); }

    // Waits until every process of the job has ended and the output is read
    // to its end; the program's exit code, or -1 when that took too long.
    long WaitForEnd(DWORD timeoutMs);

    std::vector<std::string> Lines();

private:
    void Read();

    Process m_process;
    Mutex m_mutex;
    Condition m_changed;
    std::vector<std::string> m_lines;
    bool m_ended = false;
    Thread m_reader;
};

} // namespace TestSupport
