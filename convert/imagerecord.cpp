#include "convert/imagerecord.h"

#include <QList>

#include <cmath>

namespace PDF {

namespace {

constexpr qsizetype MaxRecordBytes = 512;
constexpr int MaxSegmentsBefore = 16;
const QByteArray RecordTag = QByteArrayLiteral("rasterwell-image/1");
const QByteArray PngSignature = QByteArrayLiteral("\x89PNG\r\n\x1a\n");

// "key=value" with exactly this key; the value.
std::optional<QByteArray> valueOf(const QByteArray &token, const char *key)
{
    const QByteArray prefix = QByteArray(key) + '=';
    if (!token.startsWith(prefix) || token.size() == prefix.size())
        return std::nullopt;
    return token.mid(prefix.size());
}

bool isDecimal(const QByteArray &text, bool maySign)
{
    qsizetype i = maySign && text.startsWith('-') ? 1 : 0;
    if (i >= text.size() || text.size() > 20)
        return false;
    for (; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

std::optional<qint64> signedValue(const QByteArray &token, const char *key)
{
    const std::optional<QByteArray> v = valueOf(token, key);
    bool ok = false;
    const qint64 n = v && isDecimal(*v, true) ? v->toLongLong(&ok) : 0;
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

std::optional<quint64> unsignedValue(const QByteArray &token, const char *key)
{
    const std::optional<QByteArray> v = valueOf(token, key);
    bool ok = false;
    const quint64 n = v && isDecimal(*v, false) ? v->toULongLong(&ok) : 0;
    return ok ? std::optional<quint64>(n) : std::nullopt;
}

std::optional<ImageRecord> parseRecord(const QByteArray &text)
{
    if (text.size() > MaxRecordBytes || !text.startsWith(RecordTag + ' '))
        return std::nullopt;
    QList<QByteArray> t = text.split(' ');
    if (t.size() < 11 || t.size() > 14 || t[0] != RecordTag)
        return std::nullopt;
    // The settings that stand only when asked for, in their order.
    QByteArray selected, longSide, gray;
    qsizetype at = 5;
    const std::pair<const char *, QByteArray *> optional[] = {{"sel", &selected}, {"long", &longSide}, {"gray", &gray}};
    for (const auto &[key, into] : optional)
        if (at < t.size() - 6)
            if (const std::optional<QByteArray> v = valueOf(t[at], key)) {
                *into = *v;
                ++at;
            }
    if (at != t.size() - 6)
        return std::nullopt;
    t.remove(5, at - 5);
    const std::optional<quint64> page = unsignedValue(t[1], "page");
    const std::optional<quint64> pages = unsignedValue(t[2], "pages");
    const std::optional<QByteArray> resolution = valueOf(t[3], "r");
    const std::optional<quint64> quality = unsignedValue(t[4], "q");
    const std::optional<qint64> size = signedValue(t[5], "size");
    const std::optional<qint64> modified = signedValue(t[6], "mtime");
    const std::optional<qint64> changed = signedValue(t[7], "ctime");
    const std::optional<quint64> device = unsignedValue(t[8], "dev");
    const std::optional<quint64> inode = unsignedValue(t[9], "ino");
    const std::optional<QByteArray> digest = valueOf(t[10], "sha256");
    if (!longSide.isEmpty() && (!isDecimal(longSide, false) || longSide.toInt() < 1))
        return std::nullopt;
    if (!gray.isEmpty() && gray != "1")
        return std::nullopt;
    if (!page || !pages || !resolution || !quality || !size || !modified || !changed || !device || !inode
        || !digest)
        return std::nullopt;
    if (*page < 1 || *page > *pages || *pages > 1'000'000 || *quality > 100 || *size < 0)
        return std::nullopt;
    bool ok = false;
    const double dpi = resolution->size() <= 32 ? resolution->toDouble(&ok) : 0;
    if (!ok || !std::isfinite(dpi) || dpi <= 0)
        return std::nullopt;
    if (digest->size() != 64)
        return std::nullopt;
    for (const char c : *digest)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    ImageRecord record;
    record.page = int(*page);
    record.pages = int(*pages);
    record.resolution = dpi;
    record.quality = int(*quality);
    record.selection = QString::fromLatin1(selected);
    record.scaleTo = longSide.toInt();
    record.gray = !gray.isEmpty();
    record.source = Platform::SourceIdentity{*size, *modified, *changed, *device, *inode};
    record.sha256 = QByteArray::fromHex(*digest);
    return record;
}

} // namespace

std::optional<ImageRecord> readImageRecord(const QByteArray &head)
{
    const auto byte = [&head](qsizetype at) { return static_cast<unsigned char>(head[at]); };
    if (head.startsWith(PngSignature)) {
        // Chunks after the signature: length, type, data, CRC; the first
        // "rasterwell" text chunk before the image data counts.
        const QByteArray keyword = QByteArrayLiteral("rasterwell");
        qsizetype at = PngSignature.size();
        for (int chunk = 0; chunk < MaxSegmentsBefore && at + 8 <= head.size(); ++chunk) {
            const quint64 length = quint64(byte(at)) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
            const QByteArray type = head.mid(at + 4, 4);
            if (length > quint64(head.size()) || at + 12 + qsizetype(length) > head.size() || type == "IDAT")
                return std::nullopt;
            const QByteArray data = head.mid(at + 8, qsizetype(length));
            if (type == "tEXt" && data.startsWith(keyword + '\0'))
                if (std::optional<ImageRecord> record = parseRecord(data.mid(keyword.size() + 1)))
                    return record;
            at += 12 + qsizetype(length);
        }
        return std::nullopt;
    }
    if (head.size() < 2 || byte(0) != 0xFF || byte(1) != 0xD8)
        return std::nullopt;
    // Segments after the start of image: application segments (the JFIF
    // header) may come first; the first comment that is a record counts.
    qsizetype at = 2;
    for (int segment = 0; segment < MaxSegmentsBefore; ++segment) {
        if (at + 4 > head.size() || byte(at) != 0xFF)
            return std::nullopt;
        const unsigned marker = byte(at + 1);
        const qsizetype length = qsizetype(byte(at + 2)) << 8 | byte(at + 3);
        if (length < 2 || at + 2 + length > head.size())
            return std::nullopt;
        if (marker == 0xFE) {
            if (std::optional<ImageRecord> record = parseRecord(head.mid(at + 4, length - 2)))
                return record;
        } else if (marker < 0xE0 || marker > 0xEF) {
            return std::nullopt;
        }
        at += 2 + length;
    }
    return std::nullopt;
}

QString sourceIdentityText(const Platform::SourceIdentity &identity)
{
    return QStringLiteral("size=%1 mtime=%2 ctime=%3 dev=%4 ino=%5")
        .arg(identity.size)
        .arg(identity.modifiedNs)
        .arg(identity.changedNs)
        .arg(identity.device)
        .arg(identity.inode);
}

} // namespace PDF
