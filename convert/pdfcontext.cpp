#include "convert/pdfcontext.h"

#include "convert/launcher/shell32.h"
#include "platform/secret.h"
#include "fileutil/fileutil.h"

#include <QFile>

namespace PDF {

bool passPasswords(const Context &context, Shell32::ChildOptions &options,
                   std::optional<Platform::SecretPipe> &pipe)
{
    if (!context.passwords || context.passwords->isEmpty())
        return true;
    pipe = Platform::SecretPipe::filledWith(context.passwords->bytes());
    if (!pipe)
        return false;
    options.secretDescriptor = pipe->readEnd();
    options.environment << QStringLiteral("RASTERWELL_PASSWORD_FD=") + QString::number(pipe->readEnd());
    return true;
}

QString OutputPlace::relativeFolderOf(const QString &document) const
{
    for (const QString &root : roots) {
        const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
        if (document.startsWith(prefix)) {
            QString folder = document.mid(prefix.size()).section(QLatin1Char('/'), 0, -2);
            // The search never gives "." or "..", but a name may repeat "/".
            QStringList parts = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
            return parts.join(QLatin1Char('/'));
        }
    }
    return {};
}

QString OutputPlace::imageFolderOf(const QString &document) const
{
    if (isBeside())
        return FileUtil::FolderOf(document);
    const QString relative = relativeFolderOf(document);
    return relative.isEmpty() ? folder : folder + QLatin1Char('/') + relative;
}

QStringList companionMessages(const QString &messagesFile, int maxLines)
{
    QFile file(messagesFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The end of a long stream is what tells what went wrong last.
    constexpr qint64 Tail = 64 * 1024;
    if (file.size() > Tail)
        file.seek(file.size() - Tail);
    QStringList lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty())
            lines << text;
    }
    return lines.mid(std::max<qsizetype>(0, lines.size() - maxLines));
}

} // namespace PDF
