// vpatch for the release machine (POSIX):
//   vpatch make [--preset 0-9] <old> <new> <patch>
//   vpatch apply <old> <patch> <new>
// `make` writes the patch under a temporary name, applies it once to check that
// it gives the new file, and only then renames it into place. Exit codes are
// those of vpatch.exe (patcher/README.md).
#include "patcher/PatchApply.h"
#include "patcher/PatchMake.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace Patch;

// An open file descriptor, closed once.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    bool Close() {
        int fd = m_fd;
        m_fd = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int m_fd;
};

std::string Reason(const std::string& path) { return path + ": " + std::strerror(errno); }

class FileSource : public Source {
public:
    FileSource(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override {
        if (offset > m_size || size > m_size - offset) return false;
        while (size) {
            ssize_t n = pread(m_fd, buffer, size, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer += n;
            offset += uint64_t(n);
            size -= size_t(n);
        }
        return true;
    }

private:
    int m_fd;
    uint64_t m_size;
};

class FileReader : public Lzma::Reader {
public:
    explicit FileReader(int fd) : m_fd(fd) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        for (;;) {
            ssize_t n = read(m_fd, buffer, capacity);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) m_failed = true;
            return n > 0 ? size_t(n) : 0;
        }
    }
    bool Failed() const override { return m_failed; }

private:
    int m_fd;
    bool m_failed = false;
};

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

class FileWriter : public Lzma::Writer {
public:
    explicit FileWriter(int fd) : m_fd(fd) {}
    bool Write(const uint8_t* data, size_t size) override { return WriteAll(m_fd, data, size); }

private:
    int m_fd;
};

class NullWriter : public Lzma::Writer {
public:
    bool Write(const uint8_t*, size_t) override { return true; }
};

// Compresses the operation stream into the ".lzma" format, straight to the file.
constexpr uint32_t kWholeDictionary = 1u << 20;

class LzmaFileWriter : public Lzma::Writer {
public:
    explicit LzmaFileWriter(int fd) : m_fd(fd), m_buffer(1u << 16) {}
    ~LzmaFileWriter() { lzma_end(&m_stream); }
    bool Init(uint32_t preset, uint32_t maxDictionary) {
        lzma_options_lzma options;
        if (lzma_lzma_preset(&options, preset)) return false;
        options.dict_size = std::min(options.dict_size, maxDictionary);
        // Runs of equal differences (zeros where aligned bytes agree) are long:
        // the longest match LZMA can code takes them in far fewer symbols.
        options.nice_len = 273;
        return lzma_alone_encoder(&m_stream, &options) == LZMA_OK;
    }
    bool Write(const uint8_t* data, size_t size) override { return Run(data, size, LZMA_RUN); }
    bool Finish() { return Run(nullptr, 0, LZMA_FINISH); }

private:
    bool Run(const uint8_t* data, size_t size, lzma_action action) {
        m_stream.next_in = data;
        m_stream.avail_in = size;
        for (;;) {
            m_stream.next_out = m_buffer.data();
            m_stream.avail_out = m_buffer.size();
            lzma_ret ret = lzma_code(&m_stream, action);
            if (ret != LZMA_OK && ret != LZMA_STREAM_END) return false;
            if (!WriteAll(m_fd, m_buffer.data(), m_buffer.size() - m_stream.avail_out)) return false;
            if (action == LZMA_FINISH ? ret == LZMA_STREAM_END : m_stream.avail_in == 0) return true;
        }
    }

    int m_fd;
    std::vector<uint8_t> m_buffer;
    lzma_stream m_stream = LZMA_STREAM_INIT;
};

int Apply(const std::string& oldPath, const std::string& patchPath, Lzma::Writer& out, std::string& message) {
    Fd old(open(oldPath.c_str(), O_RDONLY)), patch(open(patchPath.c_str(), O_RDONLY));
    struct stat st;
    if (!old || fstat(old.Get(), &st) != 0) {
        message = Reason(oldPath);
        return kExitCannotRead;
    }
    uint64_t oldSize = uint64_t(st.st_size);
    if (!patch) {
        message = Reason(patchPath);
        return kExitCannotRead;
    }
    FileSource source(old.Get(), oldSize);
    FileReader reader(patch.Get());
    ApplyResult result = ApplyPatch(source, reader, out, message);
    return ExitCodeFor(result);
}

int CommandApply(const std::string& oldPath, const std::string& patchPath, const std::string& newPath,
                 std::string& message) {
    const std::string temp = newPath + ".patching";
    Fd out(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!out) {
        message = Reason(temp);
        return kExitCannotWrite;
    }
    FileWriter writer(out.Get());
    int code = Apply(oldPath, patchPath, writer, message);
    if (!out.Close() && code == kExitOk) {
        message = Reason(temp);
        code = kExitCannotWrite;
    }
    if (code == kExitOk && rename(temp.c_str(), newPath.c_str()) != 0) {
        message = Reason(newPath);
        code = kExitCannotWrite;
    }
    if (code != kExitOk) unlink(temp.c_str());
    return code;
}

int CommandMake(const std::string& oldPath, const std::string& newPath, const std::string& patchPath,
                uint32_t preset, std::string& message) {
    Fd old(open(oldPath.c_str(), O_RDONLY)), fresh(open(newPath.c_str(), O_RDONLY));
    struct stat st;
    if (!old || fstat(old.Get(), &st) != 0) {
        message = Reason(oldPath);
        return kExitCannotRead;
    }
    uint64_t oldSize = uint64_t(st.st_size);
    if (!fresh) {
        message = Reason(newPath);
        return kExitCannotRead;
    }
    const std::string temp = patchPath + ".making";
    Fd out(open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    if (!out) {
        message = Reason(temp);
        return kExitCannotWrite;
    }
    auto fail = [&](int code, const std::string& why) {
        message = why;
        out.Close();
        unlink(temp.c_str());
        return code;
    };
    uint8_t headerBytes[kHeaderSize] = {};
    if (!WriteAll(out.Get(), headerBytes, sizeof(headerBytes))) return fail(kExitCannotWrite, Reason(temp));
    LzmaFileWriter packed(out.Get());
    // Matched whole, the operations are mostly differences against the old
    // file, with little to find far back: a 1 MiB window packs them as well as
    // 8 MiB did (esbuild, libvips, typescript.js: within 0.1 %) and bounds the
    // applier's window to it. A new file of unknown size counts as large.
    struct stat freshStat;
    bool whole = oldSize <= kMaxSortedSize && fstat(fresh.Get(), &freshStat) == 0 &&
                 uint64_t(freshStat.st_size) <= kMaxSortedSize;
    if (!packed.Init(preset, whole ? kWholeDictionary : UINT32_MAX))
        return fail(kExitNoMemory, "the LZMA encoder cannot start");

    FileSource source(old.Get(), oldSize);
    FileReader reader(fresh.Get());
    Header header;
    MakeStats stats;
    std::string detail;
    if (!MakeOps(source, reader, packed, header, stats, detail))
        return fail(reader.Failed() ? kExitCannotRead : kExitCannotWrite, detail);
    if (!packed.Finish()) return fail(kExitCannotWrite, Reason(temp));
    WriteHeader(header, headerBytes);
    if (pwrite(out.Get(), headerBytes, sizeof(headerBytes), 0) != ssize_t(sizeof(headerBytes)) || fsync(out.Get()) != 0)
        return fail(kExitCannotWrite, Reason(temp));
    off_t patchSize = lseek(out.Get(), 0, SEEK_END);
    if (!out.Close()) return fail(kExitCannotWrite, Reason(temp));

    // The patch must give the new file before anyone gets it.
    NullWriter sink;
    std::string why;
    int check = Apply(oldPath, temp, sink, why);
    if (check != kExitOk) return fail(kExitDigestMismatch, "the patch made does not apply: " + why);
    if (rename(temp.c_str(), patchPath.c_str()) != 0) return fail(kExitCannotWrite, Reason(patchPath));
    std::string index = stats.blockSize ? std::to_string(stats.blockSize) + "-byte blocks" : "old file sorted";
    std::printf("vpatch: %llu -> %llu bytes; patch %lld bytes (copied %llu, with differences %llu, added %llu; "
                "%llu operations; %s, index %llu KiB)\n",
                (unsigned long long)header.oldSize, (unsigned long long)header.newSize, (long long)patchSize,
                (unsigned long long)stats.copied, (unsigned long long)stats.diffed,
                (unsigned long long)stats.added, (unsigned long long)stats.ops, index.c_str(),
                (unsigned long long)(stats.indexBytes >> 10));
    return kExitOk;
}

const char kUsage[] =
    "usage: vpatch make [--preset 0-9] <old file> <new file> <patch>\n"
    "       vpatch apply <old file> <patch> <new file>";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string message;
    int code = kExitUsage;
    uint32_t preset = 6;
    if (args.size() >= 3 && args[0] == "make" && args[1] == "--preset") {
        const std::string& p = args[2];
        if (p.size() == 1 && p[0] >= '0' && p[0] <= '9') {
            preset = uint32_t(p[0] - '0');
            args.erase(args.begin() + 1, args.begin() + 3);
        } else {
            args.clear();
        }
    }
    if (args.size() == 4 && args[0] == "make") {
        code = CommandMake(args[1], args[2], args[3], preset, message);
    } else if (args.size() == 4 && args[0] == "apply") {
        code = CommandApply(args[1], args[2], args[3], message);
    } else {
        message = kUsage;
    }
    if (code != kExitOk) std::fprintf(stderr, "vpatch: %s\n", message.c_str());
    return code;
}
