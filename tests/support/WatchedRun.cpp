#include "support/WatchedRun.h"

namespace TestSupport {

WatchedRun::~WatchedRun() {
    // The reader ends when the last holder of the pipe's write end is gone.
    m_process.Kill(kKilled);
    m_reader.Join();
}

bool WatchedRun::Start(const std::string& exe, const std::string& arguments, const std::string& folder) {
    StartOptions options;
    options.folder = folder;
    options.window = Window::Hidden;
    options.captureOutput = true;
    options.job = true;
    m_process = Process::Start(exe, arguments, options);
    if (!m_process.Started()) return false;
    m_reader = Thread(&WatchedRun::Read, this);
    return true;
}

long WatchedRun::WaitForEnd(DWORD timeoutMs) {
    if (!m_process.WaitForJob(timeoutMs)) return -1;
    {
        std::unique_lock<Mutex> lock(m_mutex);
        if (!m_changed.WaitFor(lock, 30000, [&] { return m_ended; })) return -1;
    }
    return m_process.ExitCode(0);
}

std::vector<std::string> WatchedRun::Lines() {
    std::lock_guard<Mutex> lock(m_mutex);
    return m_lines;
}

void WatchedRun::Read() {
    std::string pending;
    char block[4096];
    DWORD got = 0;
    while (ReadFile(m_process.Output(), block, sizeof block, &got, nullptr) && got > 0) {
        pending.append(block, got);
        std::vector<std::string> complete;
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            std::string line = pending.substr(0, end);
            while (!line.empty() && line.back() == '\r') line.pop_back();
            complete.push_back(line);
        }
        std::lock_guard<Mutex> lock(m_mutex);
        m_lines.insert(m_lines.end(), complete.begin(), complete.end());
        m_changed.NotifyAll();
    }
    std::lock_guard<Mutex> lock(m_mutex);
    m_ended = true;
    m_changed.NotifyAll();
}

} // namespace TestSupport
