#include "render/imagerecord.h"

#include "common/fdio.h"
#include "common/files.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <mupdf/fitz.h>
}
#include <zlib.h>

namespace rw {

namespace {

constexpr long long NsPerSecond = 1'000'000'000;

struct Identity {
    long long size = 0;
    long long modifiedNs = 0;
    long long changedNs = 0;
    unsigned long long device = 0;
    unsigned long long inode = 0;
};

// As Rasterwell counts them: times past the year 2262 (or before 1678)
// are held near the ends of the range.
long long nanoseconds(const timespec &t)
{
    constexpr long long Limit = LLONG_MAX / NsPerSecond - 100;
    return std::clamp<long long>(t.tv_sec, -Limit, Limit) * NsPerSecond + t.tv_nsec;
}

// One "key=value" of decimal digits (a sign only where `maySign`).
bool readNumber(const char *&at, const char *key, bool maySign, long long *signedOut,
                unsigned long long *unsignedOut)
{
    const std::size_t keyLength = std::strlen(key);
    if (std::strncmp(at, key, keyLength) != 0 || at[keyLength] != '=')
        return false;
    const char *digits = at + keyLength + 1;
    const char *first = digits + (maySign && *digits == '-' ? 1 : 0);
    if (*first < '0' || *first > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    if (signedOut)
        *signedOut = std::strtoll(digits, &end, 10);
    else
        *unsignedOut = std::strtoull(digits, &end, 10);
    if (errno != 0 || (*end != ' ' && *end != '\0'))
        return false;
    at = *end == ' ' ? end + 1 : end;
    return true;
}

bool parseIdentity(const char *text, Identity &out)
{
    if (!text || std::strlen(text) > 200)
        return false;
    const char *at = text;
    Identity id;
    const bool read = readNumber(at, "size", false, &id.size, nullptr)
                      && readNumber(at, "mtime", true, &id.modifiedNs, nullptr)
                      && readNumber(at, "ctime", true, &id.changedNs, nullptr)
                      && readNumber(at, "dev", false, nullptr, &id.device)
                      && readNumber(at, "ino", false, nullptr, &id.inode) && *at == '\0' && id.size >= 0;
    if (read)
        out = id;
    return read;
}

// The SHA-256 of everything the descriptor reads, from its start.
bool digestOf(int fd, std::string &hex)
{
    fz_sha256 state;
    fz_sha256_init(&state);
    std::vector<unsigned char> chunk(1 << 20);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = fdio::readSome(fd, chunk.data(), chunk.size(), offset);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        fz_sha256_update(&state, chunk.data(), std::size_t(n));
        offset += n;
    }
    unsigned char digest[32];
    fz_sha256_final(&state, digest);
    hex.clear();
    char two[3];
    for (const unsigned char byte : digest) {
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return true;
}

} // namespace

std::string describeSource(int fd, const char *passed)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return {};
    Identity id{static_cast<long long>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim),
                static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
    Identity named;
    if (parseIdentity(passed, named) && named.size == id.size)
        id = named;
    std::string digest;
    if (!digestOf(fd, digest))
        return {};
    char text[256];
    std::snprintf(text, sizeof text, "size=%lld mtime=%lld ctime=%lld dev=%llu ino=%llu sha256=%s", id.size,
                  id.modifiedNs, id.changedNs, id.device, id.inode, digest.c_str());
    return text;
}

std::string imageRecord(const RenderSettings &settings, int page, int pages)
{
    if (settings.source.empty())
        return {};
    char text[128];
    std::snprintf(text, sizeof text, "rasterwell-image/1 page=%d pages=%d r=%.17g q=%d ", page, pages,
                  settings.dpi, settings.quality);
    // The further settings only when they differ from the defaults, so an
    // image made without them reads as it always did.
    std::string further;
    if (!settings.pageRanges.empty())
        further += "sel=" + pageRangesText(settings.pageRanges) + " ";
    if (settings.scaleTo > 0)
        further += "long=" + std::to_string(settings.scaleTo) + " ";
    if (settings.gray)
        further += "gray=1 ";
    return text + further + settings.source;
}

std::size_t recordOffset(const unsigned char *jpeg, std::size_t size)
{
    if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return 0;
    static const unsigned char jfif[] = {0xFF, 0xE0};
    if (size >= 11 && std::memcmp(jpeg + 2, jfif, 2) == 0 && std::memcmp(jpeg + 6, "JFIF", 5) == 0) {
        const std::size_t end = 4 + (std::size_t(jpeg[4]) << 8 | jpeg[5]);
        if (end <= size)
            return end;
    }
    return 2;
}

std::string commentSegment(const std::string &record)
{
    const std::size_t length = std::min<std::size_t>(record.size(), 65533) + 2;
    std::string segment = {'\xFF', '\xFE', char(length >> 8), char(length & 0xFF)};
    segment.append(record, 0, length - 2);
    return segment;
}

std::size_t pngRecordOffset(const unsigned char *png, std::size_t size)
{
    static const unsigned char signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    // The signature, then IHDR: 4 length bytes (13), the type, 13 bytes, CRC.
    if (size < 33 || std::memcmp(png, signature, 8) != 0 || std::memcmp(png + 12, "IHDR", 4) != 0)
        return 0;
    return 33;
}

std::string pngTextChunk(const std::string &record)
{
    std::string body = "tEXtrasterwell";
    body += '\0';
    body += record;
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(body.data()),
                            uInt(body.size()));
    const std::size_t length = body.size() - 4;
    std::string chunk = {char(length >> 24), char(length >> 16 & 0xFF), char(length >> 8 & 0xFF),
                         char(length & 0xFF)};
    chunk += body;
    for (const int shift : {24, 16, 8, 0})
        chunk += char(crc >> shift & 0xFF);
    return chunk;
}

bool addRecordToFile(const std::string &path, const std::string &record, std::string &error)
{
    if (record.empty())
        return true;
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    std::string jpeg;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        jpeg.append(buffer, n);
    const bool readFailed = std::ferror(in) != 0;
    std::fclose(in);
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.data());
    const std::size_t pngAt = pngRecordOffset(bytes, jpeg.size());
    const std::size_t at = pngAt > 0 ? pngAt : recordOffset(bytes, jpeg.size());
    if (readFailed || at == 0) {
        error = readFailed ? "cannot read the image" : "not a JPEG image";
        return false;
    }
    jpeg.insert(at, pngAt > 0 ? pngTextChunk(record) : commentSegment(record));
    return writeWholeFile(path, jpeg.data(), jpeg.size(), error);
}

} // namespace rw
