#include "HttpTestUtil.h"


namespace HttpTest {

namespace {
void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = folder + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}
} // namespace

std::string ScratchFolder(const std::string& name) {
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    std::string root = std::string(cwd) + "\\scratch";
    CreateDirectoryA(root.c_str(), nullptr);
    std::string folder = root + "\\" + name;
    RemoveTree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

bool FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = static_cast<char>((state >> 16) & 0xFF);
    }
    return data;
}

bool RecordingListener::OnRecv(const std::string& chunk) {
    events.push_back("recv");
    if (cancelOn && chunks.empty()) cancelOn->Cancel();
    if (refuseAt >= 0 && static_cast<int>(chunks.size()) == refuseAt) {
        chunks.push_back(chunk);
        return false;
    }
    chunks.push_back(chunk);
    return true;
}
void RecordingListener::OnComplete() {
    events.push_back("complete");
    if (endEvent) SetEvent(endEvent);
}
void RecordingListener::OnCanceled() {
    events.push_back("canceled");
    if (endEvent) SetEvent(endEvent);
}
void RecordingListener::OnError(int code) {
    events.push_back("error:" + std::to_string(code));
    if (endEvent) SetEvent(endEvent);
}
void RecordingListener::OnStart(int contentLength) { events.push_back("start:" + std::to_string(contentLength)); }

std::string RecordingListener::Body() const {
    std::string body;
    for (const std::string& chunk : chunks) body += chunk;
    return body;
}

int RecordingListener::Ends() const {
    int ends = 0;
    for (const std::string& event : events)
        if (event == "complete" || event == "canceled" || event.compare(0, 6, "error:") == 0) ++ends;
    return ends;
}

} // namespace HttpTest
