// Downloads one file with FileDownloader + FileDownloaderListener while a real
// window's progress bar receives the progress, and prints time, throughput,
// CPU time and peak memory. With --raw1k it instead runs the plain loop of
// 1 KiB reads, one write and one posted progress message per chunk, for
// comparison; with --null the downloader feeds a listener that drops the body
// (what WinINet alone costs).
//   download_bench.exe <proxy port> <host> <object> <local file> [--raw1k|--null]
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/ops/DialogOps.h"
#include "support/ScopedProxy.h"
#include "utils/Handles.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/FileDownloaderListener.h"

namespace {

// The smallest real dialog: progress changes are posted to a progress control.
class BarDialog : public ConsoleDialog {
public:
    explicit BarDialog(HWND bar) : m_bar(bar) {}
    void ShowProgressBar(int, int range) override { PostMessageA(m_bar, PBM_SETRANGE, 0, MAKELPARAM(0, range)); }
    void SetProgressPos(int, int position) override {
        ++posts;
        if (!noBar) PostMessageA(m_bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
    void SetItemText(int, const std::string&) override {}

    std::atomic<long> posts{0};
    bool noBar = GetEnvironmentVariableA("BENCH_NO_BAR", nullptr, 0) > 0;  // isolates the painting cost

private:
    HWND m_bar;
};

struct Job {
    std::string host, object, local;
    bool raw = false;
    bool null = false;  // downloader with the null listener: the WinINet cost alone
    BarDialog* dialog = nullptr;
    HWND window = nullptr;
    bool ok = false;
    long long bytes = 0;
};

void RunNull(Job& job) {
    struct Counter : Utils::HTTP::NullDownloaderListener {
        long long bytes = 0;
        bool done = false;
        bool OnRecv(const std::string& chunk) override {
            bytes += static_cast<long long>(chunk.size());
            return true;
        }
        void OnComplete() override { done = true; }
    } counter;
    Utils::HTTP::FileDownloader downloader(&counter, job.host, false, -1);
    downloader.SendRequest(job.object, "", "", false);
    downloader.Receive(true);
    job.ok = counter.done;
    job.bytes = counter.bytes;
}

void RunListener(Job& job) {
    DialogFileProgress progress;
    FileDownloaderListener listener(job.local, progress);
    Utils::HTTP::FileDownloader downloader(&listener, job.host, false, -1);
    downloader.SendRequest(job.object, "", "", false);
    Dialog().ShowProgressBar(IDC_FILE_PROGRESS, Utils::HTTP::ProgressScale(downloader.GetContentLength()).Range());
    downloader.Receive(true);
    job.ok = listener.m_bSuccess && downloader.GetStatusCode() == 200;
    job.bytes = listener.m_nBytesWritten;
}

void RunRaw(Job& job) {
    Utils::InternetHandle session(InternetOpenA("Downloader1.1", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    Utils::InternetHandle connection(
        InternetConnectA(session.Get(), job.host.c_str(), 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    const char* accept[] = {"*/*", nullptr};
    Utils::InternetHandle request(HttpOpenRequestA(connection.Get(), "GET", job.object.c_str(), nullptr, nullptr,
                                                   accept, 0x84400000, 0));
    if (!HttpSendRequestA(request.Get(), "", 0, nullptr, 0)) return;
    Utils::FileHandle file(CreateFileA(job.local.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    char buffer[1024];
    DWORD got = 0;
    while (InternetReadFile(request.Get(), buffer, sizeof buffer, &got) && got) {
        DWORD written = 0;
        WriteFile(file.Get(), buffer, got, &written, nullptr);
        job.bytes += got;
        Dialog().SetProgressPos(IDC_FILE_PROGRESS, static_cast<int>(job.bytes / 512 + 1));
    }
    job.ok = true;
}

DWORD WINAPI Worker(void* argument) {
    Job& job = *static_cast<Job*>(argument);
    if (job.raw)
        RunRaw(job);
    else if (job.null)
        RunNull(job);
    else
        RunListener(job);
    PostMessageA(job.window, WM_CLOSE, 0, 0);
    return 0;
}

double Seconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 1e7;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::printf("usage: download_bench <proxy port> <host> <object> <local file> [--raw1k]\n");
        return 2;
    }
    TestSupport::ScopedProxy proxy(std::atoi(argv[1]));
    Job job;
    job.host = argv[2];
    job.object = argv[3];
    job.local = argv[4];
    job.raw = argc > 5 && std::string(argv[5]) == "--raw1k";
    job.null = argc > 5 && std::string(argv[5]) == "--null";

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND window = CreateWindowExA(0, "STATIC", "download bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 340, 80,
                                  nullptr, nullptr, nullptr, nullptr);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 10, 288, 14, window,
                               reinterpret_cast<HMENU>(IDC_FILE_PROGRESS), nullptr, nullptr);
    if (!window || !bar) {
        std::printf("no window (DISPLAY?)\n");
        return 1;
    }
    BarDialog dialog(bar);
    PublishDialog(&dialog);
    job.dialog = &dialog;
    job.window = window;

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Utils::KernelHandle worker(CreateThread(nullptr, 0, Worker, &job, 0, nullptr));
    MSG message;
    // The static window class ignores WM_CLOSE: end the loop ourselves.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == window && message.message == WM_CLOSE) break;
        DispatchMessageA(&message);
    }
    WaitForSingleObject(worker.Get(), INFINITE);
    QueryPerformanceCounter(&end);
    PublishDialog(nullptr);
    int barPos = static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0));
    int barMax = static_cast<int>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    DestroyWindow(window);

    double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("mode=%s ok=%d bytes=%lld seconds=%.3f MBps=%.1f cpu_user=%.2f cpu_kernel=%.2f "
                "peak_working_set_MiB=%.1f peak_private_MiB=%.1f progress_posts=%ld bar=%d/%d\n",
                job.raw ? "raw1k" : job.null ? "null" : "listener", job.ok ? 1 : 0, job.bytes, seconds,
                seconds > 0 ? job.bytes / seconds / 1e6 : 0.0, Seconds(user), Seconds(kernel),
                memory.PeakWorkingSetSize / 1048576.0, memory.PeakPagefileUsage / 1048576.0, dialog.posts.load(),
                barPos, barMax);
    return job.ok ? 0 : 1;
}
