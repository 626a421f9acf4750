#pragma once
// Programs that tests start: by their file, or by a command line the way the
// installer starts its tools; shown, hidden or as they choose; their output
// captured; alone or in a job object with everything they start. A program
// never outlives the Process that started it, on any path out of a test.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "support/TestFiles.h"
#include "utils/Handles.h"
#include "utils/fs/FileSystem.h"
#include "utils/system/System.h"

namespace TestSupport {

enum class Window { AsItChooses, Hidden, Shown };

struct StartOptions {
    std::string folder;  // its current folder; "" = this process's
    Window window = Window::AsItChooses;
    bool captureOutput = false;  // its stdout and stderr into a pipe: Output(), ReadOutput()
    bool job = false;            // in a job object of its own: Kill() ends all it started
};

class Process {
public:
    static constexpr int kNotEnded = -99999;

    Process() = default;
    Process(Process&&) noexcept = default;
    // Ends the program it held before.
    Process& operator=(Process&& other) noexcept {
        if (this == &other) return *this;
        Kill();
        m_started = other.m_started;
        m_process = std::move(other.m_process);
        m_id = other.m_id;
        m_job = std::move(other.m_job);
        m_port = std::move(other.m_port);
        m_jobEmpty = other.m_jobEmpty;
        m_output = std::move(other.m_output);
        return *this;
    }
    ~Process() { Kill(); }

    // "<application>" arguments: the program by its file. Not Started() when
    // it cannot start (GetLastError() tells why).
    static Process Start(const std::string& application, const std::string& arguments,
                         const StartOptions& options = {}) {
        const std::string commandLine = "\"" + application + "\"" + (arguments.empty() ? "" : " " + arguments);
        return Launch(application.c_str(), commandLine, options);
    }
    // A command line with no application name: the program is found the
    // Windows way (its own folder, the current one, system folders, PATH).
    static Process StartCommand(const std::string& commandLine, const StartOptions& options = {}) {
        return Launch(nullptr, commandLine, options);
    }
    // Takes over a running process (e.g. a copy that a program started): it
    // is ended with this object as well.
    static Process Open(DWORD id) {
        Process process;
        process.m_process.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, id));
        process.m_started = process.m_process.IsValid();
        if (process.m_started) process.m_id = id;
        return process;
    }

    bool Started() const { return m_started; }
    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_process.Get(); }
    bool Running() const { return m_process && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }

    // False when it has not ended within timeoutMs (it goes on running).
    bool Wait(DWORD timeoutMs, DWORD& exitCode) const {
        return m_process && WaitForSingleObject(m_process.Get(), timeoutMs) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(m_process.Get(), &exitCode);
    }
    // The exit code (0xFFFFFFFF reads -1), or kNotEnded.
    int ExitCode(DWORD timeoutMs) const {
        DWORD code = 0;
        return Wait(timeoutMs, code) ? static_cast<int>(code) : kNotEnded;
    }

    // Ends it now, with a job everything in the job, and waits until it has
    // ended. One that has ended keeps its own exit code.
    void Kill(UINT exitCode = 99) {
        if (m_job)
            TerminateJobObject(m_job.Get(), exitCode);
        else if (Running())
            TerminateProcess(m_process.Get(), exitCode);
        if (m_process) WaitForSingleObject(m_process.Get(), 60000);
    }

    // With a job: waits until every process in it has ended (a program may
    // leave others running after its own end); without, until it has ended.
    bool WaitForJob(DWORD timeoutMs) {
        if (!m_job) return ExitCode(timeoutMs) != kNotEnded;
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (!m_jobEmpty) {
            DWORD message = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED detail = nullptr;
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline ||
                !GetQueuedCompletionStatus(m_port.Get(), &message, &key, &detail, static_cast<DWORD>(deadline - now)))
                return false;
            m_jobEmpty = message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO;
        }
        return true;
    }

    // The read end of the captured output, for a reader that blocks.
    HANDLE Output() const { return m_output.Get(); }
    // What the program wrote and no one has read yet; never blocks.
    std::string ReadOutput() {
        std::string text;
        DWORD available = 0;
        while (m_output && PeekNamedPipe(m_output.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string block(available, '\0');
            DWORD got = 0;
            if (!ReadFile(m_output.Get(), &block[0], available, &got, nullptr) || got == 0) break;
            text.append(block, 0, got);
        }
        return text;
    }

private:
    static Process Launch(const char* application, std::string commandLine, const StartOptions& options) {
        Process process;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (options.window != Window::AsItChooses) {
            startup.dwFlags = STARTF_USESHOWWINDOW;
            startup.wShowWindow = options.window == Window::Hidden ? SW_HIDE : SW_SHOWNORMAL;
        }
        Utils::FileHandle writeEnd;
        if (options.captureOutput) {
            SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
            HANDLE read = nullptr, write = nullptr;
            if (!CreatePipe(&read, &write, &inherit, 1 << 16)) return process;
            process.m_output.Reset(read);
            writeEnd.Reset(write);
            SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
            startup.dwFlags |= STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = write;
            startup.hStdError = write;
        }
        if (options.job && !process.CreateJob()) return process;
        // In a job from its first instruction: it starts suspended until it is in.
        PROCESS_INFORMATION info = {};
        if (!CreateProcessA(application, &commandLine[0], nullptr, nullptr, options.captureOutput ? TRUE : FALSE,
                            options.job ? CREATE_SUSPENDED : 0, nullptr,
                            options.folder.empty() ? nullptr : options.folder.c_str(), &startup, &info)) {
            const DWORD error = GetLastError();
            writeEnd.Reset();
            SetLastError(error);
            return process;
        }
        // Wine starts a Unix program without handles: Started(), yet nothing to wait for.
        process.m_started = true;
        Utils::KernelHandle thread(info.hThread);
        if (options.job) {
            if (!AssignProcessToJobObject(process.m_job.Get(), info.hProcess)) {
                TerminateProcess(info.hProcess, 99);
                CloseHandle(info.hProcess);
                process.m_started = false;
                return process;
            }
            ResumeThread(info.hThread);
        }
        process.m_process.Reset(info.hProcess);
        process.m_id = info.dwProcessId;
        return process;
    }

    // A job that reports to a port when its last process has ended.
    bool CreateJob() {
        m_job.Reset(CreateJobObjectA(nullptr, nullptr));
        m_port.Reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT port = {m_job.Get(), m_port.Get()};
        return m_job && m_port &&
               SetInformationJobObject(m_job.Get(), JobObjectAssociateCompletionPortInformation, &port, sizeof port);
    }

    bool m_started = false;
    Utils::KernelHandle m_process;
    DWORD m_id = 0;
    Utils::KernelHandle m_job;
    Utils::KernelHandle m_port;
    bool m_jobEmpty = false;
    Utils::FileHandle m_output;
};

// Runs a command line the installer's way (no application name, hidden
// window) and returns its exit code; -1 when it cannot start. output, when
// given, receives what the program wrote to stdout and stderr. A program that
// does not end within two minutes is ended and reported.
inline int RunCommand(const std::string& commandLine, std::string* output = nullptr) {
    StartOptions options;
    options.window = Window::Hidden;
    options.captureOutput = output != nullptr;
    Process process = Process::StartCommand(commandLine, options);
    if (!process.Started()) return -1;
    std::string text;
    const ULONGLONG deadline = GetTickCount64() + 120000;
    int code = Process::kNotEnded;
    // Read while it runs: a full pipe would stop it.
    while ((code = process.ExitCode(20)) == Process::kNotEnded && GetTickCount64() < deadline)
        text += process.ReadOutput();
    if (code == Process::kNotEnded) {
        ADD_FAILURE() << "did not end: " << commandLine;
        process.Kill();
        code = process.ExitCode(0);
    }
    text += process.ReadOutput();
    if (output) *output = text;
    return code;
}

// Ends every process of this program name, started by whoever.
// Ends every process of that executable name; with `inside`, only those whose
// executable lies in that folder (or does not show its file yet, as one caught
// in its start-up).
inline void EndProcessesNamed(const std::string& exeName, const std::string& inside = std::string()) {
    std::vector<DWORD> ids;
    Utils::System::FindProcesses(ids, exeName);
    for (DWORD id : ids) {
        const std::string file = inside.empty() ? std::string() : Utils::System::ProcessExecutable(id);
        if (!file.empty() && !Utils::FileSystem::IsPathInside(file, inside)) continue;
        Process::Open(id).Kill();
    }
}

} // namespace TestSupport
