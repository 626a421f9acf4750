#pragma once
// What a file download shows while it runs: the position of its progress bar
// and the failures its user must hear of. The HTTP layer knows no window; the
// program adapts this to its dialog (app/ops).
#include <string>

namespace Utils {
namespace HTTP {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // The bar's range, in the units of ProgressScale, before a body arrives.
    virtual void SetRange(int range) { (void)range; }
    // The bar's new position, in the units of ProgressScale.
    virtual void SetPosition(int position) = 0;
    // A failure, told as a message with an OK button; returns once it was seen.
    virtual void ReportFailure(const std::string& text) = 0;
};

} // namespace HTTP
} // namespace Utils
