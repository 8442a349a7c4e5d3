#include "cli/documentlist.h"

#include "platform/pathcodec.h"

#include <QFile>

#include <cstdio>

namespace Cli {

quint64 fnv1a64(const QByteArray &bytes)
{
    quint64 hash = 14695981039346656037ULL;
    for (const char c : bytes) {
        hash ^= quint64(uchar(c));
        hash *= 1099511628211ULL;
    }
    return hash;
}

int shardOf(const QString &relativePath, int count)
{
    return count <= 1 ? 1 : int(fnv1a64(Platform::encodePath(relativePath)) % quint64(count)) + 1;
}

bool Shard::picks(const QString &relativePath) const
{
    return index <= 0 || count <= 1 || shardOf(relativePath, count) == index;
}

QStringList parseDocumentList(const QByteArray &list, bool nulSeparated)
{
    QStringList entries;
    for (const QByteArray &entry : list.split(nulSeparated ? '\0' : '\n'))
        if (!entry.isEmpty())
            entries << Platform::decodePath(entry);
    return entries;
}

std::optional<QStringList> readDocumentList(const QString &file, bool nulSeparated, QString *why)
{
    QFile input;
    const bool opened = file == QLatin1String("-")
                            ? input.open(stdin, QIODevice::ReadOnly)
                            : (input.setFileName(file), input.open(QIODevice::ReadOnly));
    if (!opened) {
        *why = input.errorString();
        return std::nullopt;
    }
    const QByteArray list = input.readAll();
    if (input.error() != QFileDevice::NoError) {
        *why = input.errorString();
        return std::nullopt;
    }
    return parseDocumentList(list, nulSeparated);
}

} // namespace Cli
