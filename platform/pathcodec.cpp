#include "platform/pathcodec.h"

#include <algorithm>

namespace Platform {

namespace {

constexpr char16_t EscapeBase = 0xDC00; // U+DC80..U+DCFF carry bytes 0x80..0xFF

bool isEscapedByte(QChar c)
{
    return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF;
}

// Length of the valid UTF-8 sequence starting at `i`, or 0.
int validSequence(const unsigned char *s, qsizetype i, qsizetype n)
{
    const unsigned char c = s[i];
    if (c < 0x80)
        return 1;
    int length;
    char32_t value;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > n)
        return 0;
    for (int k = 1; k < length; ++k) {
        const unsigned char cc = s[i + k];
        if ((cc & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are invalid.
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF))
        || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString decodePath(const QByteArray &bytes)
{
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    QString out;
    out.reserve(n);
    qsizetype start = 0; // start of the current run of valid UTF-8
    qsizetype i = 0;
    while (i < n) {
        const int length = validSequence(s, i, n);
        if (length > 0) {
            i += length;
            continue;
        }
        out += QString::fromUtf8(bytes.constData() + start, i - start);
        out += QChar(char16_t(EscapeBase + s[i]));
        start = ++i;
    }
    out += QString::fromUtf8(bytes.constData() + start, n - start);
    return out;
}

QByteArray encodePath(const QString &path)
{
    // No file name holds a NUL; such a path names nothing, and must not be
    // cut short into the name of something else.
    if (path.contains(QChar(0)))
        return {};
    QByteArray out;
    out.reserve(path.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        if (!isEscapedByte(path[i]))
            continue;
        out += QStringView(path).mid(start, i - start).toUtf8();
        out += char(path[i].unicode() - EscapeBase);
        start = i + 1;
    }
    out += QStringView(path).mid(start).toUtf8();
    return out;
}

bool hasUndecodableBytes(const QString &path)
{
    for (const QChar c : path)
        if (isEscapedByte(c))
            return true;
    return false;
}

QString displayPath(const QString &path, Controls controls)
{
    auto escaped = [controls](QChar c) {
        if (isEscapedByte(c))
            return true;
        const char16_t u = c.unicode();
        if (controls == Controls::Keep || (controls == Controls::KeepLineBreaks && u == u'\n'))
            return false;
        return u < 0x20 || (u >= 0x7F && u <= 0x9F);
    };
    if (std::none_of(path.begin(), path.end(), escaped))
        return path;
    QString out;
    out.reserve(path.size() + 8);
    auto hex = [&out](unsigned byte) { out += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0')); };
    for (const QChar c : path) {
        if (!escaped(c)) {
            out += c;
        } else if (isEscapedByte(c)) {
            hex(c.unicode() - EscapeBase);
        } else if (c.unicode() < 0x80) {
            hex(c.unicode());
        } else { // a C1 control: its two UTF-8 bytes
            hex(0xC0 | (c.unicode() >> 6));
            hex(0x80 | (c.unicode() & 0x3F));
        }
    }
    return out;
}

} // namespace Platform
