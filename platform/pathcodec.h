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

// Which control characters displayPath() shows escaped.
enum class Controls {
    Escape,         // all: a path, or a line of text for a terminal
    KeepLineBreaks, // all but "\n": a text of several lines (a message box)
    Keep,           // none: for output that escapes them itself (JSON)
};

// The path for people to read: each undecodable byte shown as "\xNN", and
// (unless told otherwise) each C0 control, DEL and C1 control (U+0080 to
// U+009F) as the "\xNN" of its UTF-8 bytes, so that no name can move a
// terminal's cursor, retitle its window or change its colours. Any other
// text is left as it is.
QString displayPath(const QString &path, Controls controls = Controls::Escape);

} // namespace Platform
