#pragma once
// The overall bar of a pass moves by the bytes of the whole pass, and the
// line under it says how much is done and about how long the rest takes
// ("12.4 of 55.0 MB — about 20 s left"). A file's size is known once its
// answer has come; until then it weighs as much as the median file known so
// far (kDefaultEstimate before any is known), so one big file among small
// ones does not make every file not yet answered big.
//
// Threading: fed by the engine's thread and, through PassFileProgress, by
// the download workers (FetchAhead's sink calls); one lock. It only posts
// bar positions and sets the line's text.
#include <string>
#include <utility>
#include <vector>

#include "app/ops/DialogOps.h"
#include "utils/Lockable.h"

class OverallProgress : public Utils::Lockable {
public:
    static constexpr int kRange = 1000;
    static constexpr long long kDefaultEstimate = 1 << 20;

    // Shows the bar at 0 for a pass of this many files.
    explicit OverallProgress(size_t files);
    // Hides the line.
    ~OverallProgress() override;
    OverallProgress(const OverallProgress&) = delete;
    OverallProgress& operator=(const OverallProgress&) = delete;

    // The file the pass waits for now.
    void Begin(size_t index);
    // A file's whole length, as its answer gave it (-1: unknown).
    void Length(size_t index, long long bytes);
    // The bytes of the file waited for so far, and its length (-1: unknown).
    void Current(long long done, long long length);
    // The file waited for is in place.
    void Committed(size_t index);
    // Every file is in place: the bar is full.
    void Finish();

    long long Done() const;
    long long Total() const;
    int Position() const;
    // The line's text; secondsLeft < 0: not known yet.
    static std::string AmountText(long long done, long long total, long long secondsLeft);

private:
    long long Estimate() const;  // under the lock
    void Show();                 // under the lock

    std::vector<long long> m_lengths;  // -1: unknown
    std::vector<bool> m_committed;
    size_t m_current = 0;
    long long m_currentDone = 0;
    int m_shownPosition = 0;
    std::string m_shownText;
    unsigned long m_startTick;
    unsigned long m_lastTextTick = 0;  // 0: no text shown yet
};

// The file bar of a pass, feeding the overall progress (may be null) too.
// fileOfRequest: for downloads fetched ahead, the pass's file of each request.
class PassFileProgress : public DialogFileProgress {
public:
    explicit PassFileProgress(OverallProgress* overall, std::vector<size_t> fileOfRequest = {})
        : m_overall(overall), m_fileOfRequest(std::move(fileOfRequest)) {}
    void SetBytes(long long done, long long length) override {
        if (m_overall) m_overall->Current(done, length);
    }
    void AnswerLength(size_t request, long long length) override {
        if (m_overall && request < m_fileOfRequest.size()) m_overall->Length(m_fileOfRequest[request], length);
    }

private:
    OverallProgress* m_overall;
    std::vector<size_t> m_fileOfRequest;
};
