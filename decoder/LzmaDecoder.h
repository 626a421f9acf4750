#pragma once
// Streaming decoder for ".lzma" files (the 13-byte header followed by one LZMA
// stream, as `xz --format=lzma` writes them). Memory stays bounded: the window
// grows with the output up to the header's dictionary size, plus a fixed input
// buffer. No byte is ever read or written outside those buffers, whatever the
// input holds.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Lzma {

// Source of compressed bytes.
class Reader {
public:
    virtual ~Reader() = default;
    // Stores up to `capacity` bytes; returns 0 at the end of the input or on a
    // read failure (Failed() then tells the two apart).
    virtual size_t Read(uint8_t* buffer, size_t capacity) = 0;
    virtual bool Failed() const { return false; }
};

// Sink of decoded bytes. Returning false stops the decoder with WriteError.
class Writer {
public:
    virtual ~Writer() = default;
    virtual bool Write(const uint8_t* data, size_t size) = 0;
};

enum class Result {
    Ok,
    BadHeader,           // fewer than 13 bytes, or a properties byte out of range
    DictionaryTooLarge,  // more window than kMaxDictionarySize would be needed
    Truncated,           // the input ended inside the stream
    CorruptData,         // an impossible symbol, distance or range-coder state
    SizeMismatch,        // output length differs from the size in the header
    TrailingData,        // bytes after the end of the stream
    ReadError,
    WriteError,
    OutOfMemory,
};

const char* ResultText(Result result);

constexpr size_t kHeaderSize = 13;
constexpr uint64_t kUnknownSize = ~uint64_t(0);
// The largest window we agree to keep (the largest that common encoders offer).
constexpr uint32_t kMaxDictionarySize = 1536u << 20;

struct Header {
    unsigned lc = 0;  // literal context bits (0..8)
    unsigned lp = 0;  // literal position bits (0..4)
    unsigned pb = 0;  // position bits (0..4)
    uint32_t dictionarySize = 0;
    uint64_t uncompressedSize = kUnknownSize;  // kUnknownSize: the stream ends with an end marker
};

// Reads the 13 header bytes; BadHeader when the properties byte is out of range.
Result ParseHeader(const uint8_t* bytes, Header& header);

// Decodes one complete ".lzma" file from `in` to `out`. With a known size the
// stream may or may not carry an end marker; with an unknown size it must.
// Output already handed to `out` stays there on failure: callers that must not
// show partial output write to a temporary place.
Result DecodeLzmaAlone(Reader& in, Writer& out);

// Adapters for in-memory use.
class MemoryReader : public Reader {
public:
    MemoryReader(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
    size_t Read(uint8_t* buffer, size_t capacity) override;

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

class StringWriter : public Writer {
public:
    // Refuses (WriteError) once more than `limit` bytes would be held.
    explicit StringWriter(size_t limit = SIZE_MAX) : m_limit(limit) {}
    bool Write(const uint8_t* data, size_t size) override;
    std::string data;

private:
    size_t m_limit;
};

}  // namespace Lzma
