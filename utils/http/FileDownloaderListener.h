#pragma once
// The listener every download of the program uses: writes the body to a local
// file (creating its folders), moves a progress bar and reports failures, both
// through the ProgressSink it is given.
#include <windows.h>

#include <string>

#include "utils/Handles.h"
#include "utils/Result.h"
#include "utils/http/FileDownloader.h"
#include "utils/http/ProgressSink.h"

namespace Utils {
namespace HTTP {

// The file progress bar counts units of 512 bytes, but its range is a 16-bit
// value. Bodies of more than 65,535 units are shown in coarser units (a whole
// number of 512-byte units each), so the bar still runs from 0 to full. Up to
// 65,535 units the values are the plain ones: range length/512 + 1, position
// bytes/512 + 1. GetFile sets the range with Range() and the listener moves
// the bar with Position() of the same scale.
class ProgressScale {
public:
    static constexpr int kMaxRange = 65535;

    explicit ProgressScale(long long contentLength = -1);
    int Range() const { return m_nRange; }                  // 1 when the length is unknown
    int Position(long long bytesWritten) const;             // bytes/512 + 1, scaled
    int Divisor() const { return m_nDivisor; }              // 512-byte units per step

private:
    int m_nDivisor;
    int m_nRange;
};

} // namespace HTTP
} // namespace Utils

class FileDownloaderListener : public Utils::HTTP::DownloaderListener {
public:
    // Creates the folders of localPath and the file anew (whatever name was
    // there removed, the file made only where none is: ReplaceWithNewPlainFile);
    // m_bSuccess is false when the file could not be created. progress: not
    // owned, must outlive the listener. appendFrom > 0: the existing file,
    // when it is a plain file of one link (OpenPlainFile), keeps its first
    // appendFrom bytes (anything after them is cut off) and the body follows
    // them; the progress bar counts them as done.
    FileDownloaderListener(const std::string& localPath, Utils::HTTP::ProgressSink& progress,
                           long long appendFrom = 0);
    ~FileDownloaderListener() override;

    bool OnRecv(const std::string& chunk) override;
    void OnComplete() override;
    void OnCanceled() override;
    void OnError(int code) override;
    void OnStart(int contentLength) override;

    // At most about this many progress updates per file of known length (the
    // end of the bar always included): every update repaints the bar, which
    // costs far more than a chunk, and the bar is under 300 pixels wide.
    static constexpr int kProgressSteps = 256;
    // Chunks are gathered into one write of up to this many bytes: a write
    // per KiB costs more than the download itself under Wine.
    static constexpr size_t kWriteBufferSize = 64 * 1024;

    // Set before the transfer: the file is flushed to the disk before it is
    // closed, and a failed flush fails the transfer.
    bool m_bFlushOnComplete = false;
    // Set before the transfer (-1: none): the most body bytes the answer said
    // it carries. The file takes that many; a byte more ends the transfer
    // (OnRecv refuses, m_bOverLimit) and its outcome is HttpStatus.
    long long m_nLimit = -1;
    bool m_bOverLimit = false;

    Utils::FileHandle mh_file;   // invalid when the file could not be created
    std::string m_szFileName;    // last component of the local path
    long long m_nBytesWritten;   // 64-bit: bodies over 2 GiB must not wrap
    bool m_bSuccess;
    int m_nError = 0;            // the code OnError was given (-1: a chunk was refused)
    DWORD m_dwFileError = 0;     // why the file could not be created, written or closed (0: it could)
    bool m_bCanceled = false;    // the transfer ended through OnCanceled

    // The transfer's outcome as a failure reason, given the answer's status
    // (-1: none came): Success, HttpStatus (also for a body over m_nLimit), a write failure of the file
    // (DiskFull, AccessDenied, WriteFailed), Cancelled, ServerUnreachable (no
    // answer) or DownloadCut.
    Utils::Result Outcome(int status) const;

private:
    void InitFile(const std::string& localPath, long long appendFrom);
    void UpdateProgress();
    bool Flush();       // writes the gathered bytes; false on a write failure
    void CloseFile();   // flushes what it can, then closes

    std::string m_buffer;  // gathered chunks, at most kWriteBufferSize bytes
    Utils::HTTP::ProgressSink* mp_progress;

    long long m_nAppendFrom;  // bytes that were there before the body
    Utils::HTTP::ProgressScale m_scale;
    bool m_bLengthKnown;
    long long m_nLength = -1;  // the whole file's bytes (kept ones included); -1 unknown
    int m_nMinStep;     // position change worth a posted update
    int m_nLastPos;     // last position posted (-1: none yet)
};
