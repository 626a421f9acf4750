#pragma once
// Helpers shared by the HTTP tests: deterministic bodies and a listener that
// records what the downloader tells it (files and folders: support/TestFiles.h).
#include <windows.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "utils/http/FileDownloader.h"

namespace HttpTest {

std::string Pattern(size_t size, unsigned seed);  // deterministic bytes, zeros included

struct RecordingListener : Utils::HTTP::DownloaderListener {
    std::vector<std::string> chunks;
    std::vector<std::string> events;  // "recv", "complete", "canceled", "error:<code>", "start:<length>"
    int refuseAt = -1;                // OnRecv number (0-based) that returns false
    Utils::HTTP::FileDownloader* cancelOn = nullptr;  // Cancel() this downloader in the first OnRecv
    HANDLE endEvent = nullptr;        // set when the transfer ends

    bool OnRecv(const std::string& chunk) override;
    void OnComplete() override;
    void OnCanceled() override;
    void OnError(int code) override;
    void OnStart(int contentLength) override;
    std::string Body() const;
    int Ends() const;  // number of end events seen
};

} // namespace HttpTest
