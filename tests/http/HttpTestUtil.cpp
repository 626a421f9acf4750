#include "HttpTestUtil.h"

namespace HttpTest {

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
