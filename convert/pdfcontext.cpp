#include "convert/pdfcontext.h"

#include <QFile>

namespace PDF {

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
