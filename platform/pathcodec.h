#pragma once

#include <QByteArray>
#include <QString>

namespace Platform {

// File names are bytes. Most are UTF-8, but a name may hold any byte but
// "/" and NUL. Paths are carried as QString through the whole program, so
// the conversion must be lossless both ways:
// - valid UTF-8 decodes as usual;
// - every byte of an invalid sequence becomes the lone surrogate U+DC80 +
//   (byte - 0x80) (bytes below 0x80 are always valid), which no valid UTF-8
//   decoding produces;
// - encoding turns those surrogates back into their bytes.
// So encodePath(decodePath(bytes)) == bytes for every name. A path holding a
// NUL encodes as empty (it names nothing).
QString decodePath(const QByteArray &bytes);
QByteArray encodePath(const QString &path);

// True when the path holds bytes that are not valid UTF-8.
bool hasUndecodableBytes(const QString &path);

// The path for people to read: each undecodable byte shown as "\xNN".
QString displayPath(const QString &path);

} // namespace Platform
