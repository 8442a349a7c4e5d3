#include "tests/support/pdffixtures.h"

#include <QFile>
#include <vector>

namespace PdfFixtures {

QByteArray makePdf(int pages, PageSpec page)
{
    // Objects: 1 catalog, 2 page tree, 3 font, then per page: page + content.
    QByteArray out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<qsizetype> offsets;
    auto object = [&](const QByteArray &body) {
        offsets.push_back(out.size());
        out += QByteArray::number(qsizetype(offsets.size())) + " 0 obj\n" + body + "\nendobj\n";
    };

    object("<< /Type /Catalog /Pages 2 0 R >>");
    QByteArray kids;
    for (int i = 0; i < pages; ++i)
        kids += QByteArray::number(4 + 2 * i) + " 0 R ";
    object("<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages) + " >>");
    object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    const QByteArray box = "[0 0 " + QByteArray::number(page.widthPt) + " "
                           + QByteArray::number(page.heightPt) + "]";
    for (int i = 0; i < pages; ++i) {
        const QByteArray text = "BT /F1 48 Tf 72 " + QByteArray::number(page.heightPt / 2)
                                + " Td (Page " + QByteArray::number(i + 1) + ") Tj ET";
        object("<< /Type /Page /Parent 2 0 R /MediaBox " + box
               + " /Resources << /Font << /F1 3 0 R >> >> /Contents "
               + QByteArray::number(5 + 2 * i) + " 0 R >>");
        object("<< /Length " + QByteArray::number(text.size()) + " >>\nstream\n" + text
               + "\nendstream");
    }

    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(qsizetype(offsets.size() + 1)) + "\n";
    out += "0000000000 65535 f \n";
    for (qsizetype off : offsets)
        out += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(qsizetype(offsets.size() + 1))
           + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size() && f.flush();
}

bool writePdf(const QString &path, int pages, PageSpec page)
{
    return writeBytes(path, makePdf(pages, page));
}

} // namespace PdfFixtures
