#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace Cli {

// One of N parts of the documents found: a document belongs to part
// shardOf(its path relative to the PATH it was found under, N). The hash is
// of the path's bytes only, so every machine that mounts the archive
// anywhere picks the same documents.
struct Shard {
    int index = 0; // 1 to count; 0: every document
    int count = 0;
    bool picks(const QString &relativePath) const;
};

// FNV-1a (64 bits) of `bytes`.
quint64 fnv1a64(const QByteArray &bytes);

// The part, from 1 to `count`, that `relativePath` belongs to.
int shardOf(const QString &relativePath, int count);

// The entries of a document list: one a line, or NUL-separated (as
// `find -print0` writes); empty entries are skipped, names are taken
// byte for byte (a name that is not UTF-8 keeps its bytes).
QStringList parseDocumentList(const QByteArray &list, bool nulSeparated);

// Reads the list `file` ("-": standard input); nothing (with `why`) when it
// cannot be read.
std::optional<QStringList> readDocumentList(const QString &file, bool nulSeparated, QString *why);

} // namespace Cli
