#include "engine/OverallProgress.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {

// The line changes at most this often: each change is a call into the window.
const DWORD kTextIntervalMs = 250;
// Time left is guessed only after this much time and data.
const DWORD kRateAfterMs = 1000;
const double kMegabyte = 1024.0 * 1024.0;

std::string Megabytes(long long bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / kMegabyte);
    return text;
}

} // namespace

OverallProgress::OverallProgress(size_t files)
    : m_lengths(files, -1), m_committed(files, false), m_startTick(GetTickCount()) {
    Dialog().ShowProgressBar(IDC_OVERALL_PROGRESS, kRange);
    Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, 0);
}

OverallProgress::~OverallProgress() { Dialog().SetItemText(IDC_PROGRESS_AMOUNT, std::string()); }

void OverallProgress::Begin(size_t index) {
    Utils::AutoLock lock(*this);
    m_current = index;
    m_currentDone = 0;
}

void OverallProgress::Length(size_t index, long long bytes) {
    Utils::AutoLock lock(*this);
    if (index < m_lengths.size() && bytes >= 0) m_lengths[index] = bytes;
    Show();
}

void OverallProgress::Current(long long done, long long length) {
    Utils::AutoLock lock(*this);
    if (m_current < m_lengths.size() && length >= 0) m_lengths[m_current] = length;
    m_currentDone = done;
    Show();
}

void OverallProgress::Committed(size_t index) {
    Utils::AutoLock lock(*this);
    if (index >= m_lengths.size()) return;
    // A file of unknown length counts what arrived of it.
    if (m_lengths[index] < 0) m_lengths[index] = index == m_current ? m_currentDone : 0;
    m_committed[index] = true;
    if (index == m_current) m_currentDone = 0;
    Show();
}

void OverallProgress::Finish() {
    Utils::AutoLock lock(*this);
    m_shownPosition = kRange;
    Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, kRange);
}

long long OverallProgress::Estimate() const {
    std::vector<long long> known;
    for (long long length : m_lengths)
        if (length >= 0) known.push_back(length);
    if (known.empty()) return kDefaultEstimate;
    std::nth_element(known.begin(), known.begin() + known.size() / 2, known.end());
    return known[known.size() / 2];
}

long long OverallProgress::Total() const {
    Utils::AutoLock lock(*this);
    const long long estimate = Estimate();
    long long total = 0;
    for (long long length : m_lengths) total += length >= 0 ? length : estimate;
    return total;
}

long long OverallProgress::Done() const {
    Utils::AutoLock lock(*this);
    long long done = 0;
    for (size_t i = 0; i < m_lengths.size(); ++i) done += m_committed[i] ? m_lengths[i] : 0;
    if (m_current < m_committed.size() && !m_committed[m_current]) done += m_currentDone;
    return done;
}

int OverallProgress::Position() const {
    const long long total = Total();
    if (total <= 0) return kRange;
    const long long position = Done() * kRange / total;
    return static_cast<int>(position > kRange ? kRange : position);
}

std::string OverallProgress::AmountText(long long done, long long total, long long secondsLeft) {
    std::string time = "\xE2\x80\xA6";  // "…" until the rate is known
    if (secondsLeft >= 0 && secondsLeft < 60) {
        time = Texts::Text(TextId::TimeSeconds, {{"count", std::to_string((secondsLeft + 4) / 5 * 5)}});
    } else if (secondsLeft >= 60) {
        time = Texts::Text(TextId::TimeMinutes, {{"count", std::to_string((secondsLeft + 59) / 60)}});
    }
    return Texts::Text(TextId::ProgressAmount,
                       {{"done", Megabytes(done)}, {"total", Megabytes(total)}, {"time", time}});
}

// The bar never moves back: a big file's answer makes the whole larger, and
// the bar waits until the bytes catch up.
void OverallProgress::Show() {
    const int position = Position();
    if (position > m_shownPosition) {
        m_shownPosition = position;
        Dialog().SetProgressPos(IDC_OVERALL_PROGRESS, position);
    }
    // GetTickCount (Windows 2000 on): differences of its values survive its wrap.
    const DWORD now = GetTickCount();
    if (m_lastTextTick != 0 && now - m_lastTextTick < kTextIntervalMs) return;
    const long long done = Done(), total = Total();
    const DWORD elapsed = now - m_startTick;
    long long secondsLeft = -1;
    if (elapsed >= kRateAfterMs && done > 0) {
        secondsLeft = static_cast<long long>(static_cast<double>(total - done) * elapsed / static_cast<double>(done) / 1000.0);
    }
    const std::string text = AmountText(done, total, secondsLeft);
    if (text == m_shownText) return;
    m_shownText = text;
    m_lastTextTick = now;
    Dialog().SetItemText(IDC_PROGRESS_AMOUNT, text);
}
