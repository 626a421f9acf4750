#include "utils/http/FileDownloaderListener.h"

#include "utils/fs/FileSystem.h"
#include "utils/PlainFile.h"
#include "utils/string/String.h"

namespace Utils {
namespace HTTP {

ProgressScale::ProgressScale(long long contentLength) {
    long long units = contentLength / 512 + 1;  // signed division: 1 when unknown (-1)
    if (units < 1) units = 1;
    m_nDivisor = static_cast<int>((units + kMaxRange - 1) / kMaxRange);
    m_nRange = static_cast<int>(units / m_nDivisor);
}

int ProgressScale::Position(long long bytesWritten) const {
    long long units = bytesWritten / 512 + 1;
    long long position = units / m_nDivisor;
    return position > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(position);
}

} // namespace HTTP
} // namespace Utils

FileDownloaderListener::FileDownloaderListener(const std::string& localPath, Utils::HTTP::ProgressSink& progress,
                                               long long appendFrom)
    : m_nBytesWritten(0),
      m_bSuccess(true),
      mp_progress(&progress),
      m_nAppendFrom(appendFrom > 0 ? appendFrom : 0),
      m_bLengthKnown(false),
      m_nMinStep(1),
      m_nLastPos(-1) {
    InitFile(localPath, m_nAppendFrom);
    if (!mh_file) {
        m_dwFileError = GetLastError();
        m_bSuccess = false;
    }
}

// A file still open here (no end operation was called) keeps what arrived.
FileDownloaderListener::~FileDownloaderListener() { CloseFile(); }

void FileDownloaderListener::InitFile(const std::string& localPath, long long appendFrom) {
    std::string path = localPath;
    Utils::String::ReplaceAll(path, "/", "\\");
    m_szFileName = path.substr(path.rfind('\\') + 1);
    Utils::FileSystem::CreateFoldersOf(path);
    // The folder may be one others can write to: a new file is made where no
    // name is, a kept one continued only when it is a plain file of one link.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
    mh_file = appendFrom > 0 ? Utils::OpenPlainFile(path, GENERIC_WRITE, flags)
                             : Utils::ReplaceWithNewPlainFile(path, GENERIC_WRITE, flags);
    if (!mh_file || appendFrom == 0) return;
    // The body continues exactly after the bytes that are kept.
    LARGE_INTEGER at;
    at.QuadPart = appendFrom;
    if (!SetFilePointerEx(mh_file.Get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(mh_file.Get())) mh_file.Reset();
}

void FileDownloaderListener::OnStart(int contentLength) {
    m_scale = Utils::HTTP::ProgressScale(contentLength >= 0 ? contentLength + m_nAppendFrom : -1);
    m_bLengthKnown = contentLength >= 0;
    m_nMinStep = m_bLengthKnown ? m_scale.Range() / kProgressSteps : 1;
    if (m_nMinStep < 1) m_nMinStep = 1;
    m_nLength = m_bLengthKnown ? contentLength + m_nAppendFrom : -1;
    mp_progress->SetBytes(m_nAppendFrom, m_nLength);
}

bool FileDownloaderListener::OnRecv(const std::string& chunk) {
    if (!mh_file) {
        mp_progress->ReportFailure("Error in FileDownloaderListener::InitFile");
        m_bSuccess = false;
        return false;
    }
    if (m_nLimit >= 0 && static_cast<long long>(chunk.size()) > m_nLimit - m_nBytesWritten) {
        // Whatever comes after the promised bytes belongs to no file of ours.
        OnRecv(chunk.substr(0, static_cast<size_t>(m_nLimit - m_nBytesWritten)));
        m_bOverLimit = true;
        m_bSuccess = false;
        return false;
    }
    if (m_buffer.capacity() < kWriteBufferSize) m_buffer.reserve(kWriteBufferSize);
    if (m_buffer.size() + chunk.size() > kWriteBufferSize && !Flush()) {
        m_dwFileError = GetLastError();
        mp_progress->ReportFailure("Error in FileDownloaderListener::OnRecv()");
        m_bSuccess = false;
        return false;
    }
    m_buffer += chunk;
    m_nBytesWritten += static_cast<long long>(chunk.size());
    UpdateProgress();
    return true;
}

void FileDownloaderListener::UpdateProgress() {
    int position = m_scale.Position(m_nAppendFrom + m_nBytesWritten);
    if (position == m_nLastPos) return;
    // Thinned to kProgressSteps updates for a known length; the end of the bar
    // is always posted.
    if (m_nLastPos >= 0 && position - m_nLastPos < m_nMinStep && position < m_scale.Range()) return;
    m_nLastPos = position;
    mp_progress->SetPosition(position);
    mp_progress->SetBytes(m_nAppendFrom + m_nBytesWritten, m_nLength);
}

bool FileDownloaderListener::Flush() {
    if (m_buffer.empty()) return true;
    DWORD written = 0;
    bool ok = WriteFile(mh_file.Get(), m_buffer.data(), static_cast<DWORD>(m_buffer.size()), &written, nullptr) &&
              written == m_buffer.size();
    m_buffer.clear();
    return ok;
}

void FileDownloaderListener::CloseFile() {
    // A partly written file stays on disk with everything received so far.
    if (mh_file) Flush();
    m_buffer.clear();
    mh_file.Reset();
}

void FileDownloaderListener::OnComplete() {
    if (mh_file && m_bSuccess && !Flush()) {
        // The last bytes could not be written: the same failure as in OnRecv.
        m_dwFileError = GetLastError();
        mp_progress->ReportFailure("Error in FileDownloaderListener::OnRecv()");
        m_bSuccess = false;
        mh_file.Reset();
        return;
    }
    if (mh_file && m_bSuccess) {
        if (m_bFlushOnComplete && !FlushFileBuffers(mh_file.Get())) {
            m_dwFileError = GetLastError();
            m_bSuccess = false;
        }
        // The close result counts: it is where a late write error shows up.
        if (!CloseHandle(mh_file.Release())) {
            if (m_dwFileError == 0) m_dwFileError = GetLastError();
            m_bSuccess = false;
        }
    } else {
        m_bSuccess = false;
    }
}

void FileDownloaderListener::OnCanceled() {
    m_bCanceled = true;
    CloseFile();
    mp_progress->ReportFailure("FileDownloaderListener::OnCanceled()");
    m_bSuccess = false;
}

void FileDownloaderListener::OnError(int code) {
    m_nError = code;
    CloseFile();
    m_bSuccess = false;
    mp_progress->ReportFailure("FileDownloaderListener::OnError()");
}

Utils::Result FileDownloaderListener::Outcome(int status) const {
    using Utils::Reason;
    using Utils::Result;
    if (status >= 400 || m_bOverLimit) return Result::Failure(Reason::HttpStatus, static_cast<unsigned long>(status));
    if (m_bSuccess) return Result::Success();
    if (m_dwFileError != 0) return Result::Failure(Utils::ReasonForSystemError(m_dwFileError), m_dwFileError);
    if (m_bCanceled) return Result::Failure(Reason::Cancelled);
    const unsigned long code = m_nError > 0 ? static_cast<unsigned long>(m_nError) : 0;
    return Result::Failure(status < 0 ? Reason::ServerUnreachable : Reason::DownloadCut, code);
}
