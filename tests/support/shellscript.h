#pragma once

#include <QFile>
#include <QTemporaryDir>

namespace TestFiles {

// Writes a small /bin/sh script `name` into `dir`, with its run bit unless
// told otherwise; returns its path, or "" when it cannot be written.
inline QString writeScript(const QTemporaryDir &dir, const QString &name, const QByteArray &body,
                           bool executable = true)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write("#!/bin/sh\n" + body + "\n");
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
    return path;
}

} // namespace TestFiles
