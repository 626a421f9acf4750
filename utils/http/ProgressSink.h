#pragma once
// What a file download shows while it runs: the position of its progress bar
// and the failures its user must hear of. The HTTP layer knows no window; the
// program adapts this to its dialog (app/ops).
#include <cstddef>
#include <string>

namespace Utils {
namespace HTTP {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // The bar's new position, in the units of ProgressScale.
    virtual void SetPosition(int position) = 0;
    // The bar's range (ProgressScale::Range) for the file it now shows. Callers
    // that set the range themselves (GetFile) leave this alone.
    virtual void SetRange(int range) { (void)range; }
    // The same progress in bytes: the body's bytes in the file so far (kept
    // bytes of a continued download included) and the whole file's length
    // as the answer gives it (-1: unknown). First called when the answer is in.
    virtual void SetBytes(long long done, long long length) { (void)done, (void)length; }
    // Fetching several files at once (FetchAhead): the length of request
    // `request`'s body, once its answer is in (-1: unknown), whichever file
    // the bar shows.
    virtual void AnswerLength(size_t request, long long length) { (void)request, (void)length; }
    // A failure, told as a message with an OK button; returns once it was seen.
    virtual void ReportFailure(const std::string& text) = 0;
};

} // namespace HTTP
} // namespace Utils
