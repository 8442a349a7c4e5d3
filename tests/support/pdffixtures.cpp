#include "tests/support/pdffixtures.h"

#include <QFile>
#include <QList>
#include <vector>

namespace PdfFixtures {

namespace {

// Ends a file whose objects 1, 2, ... start at `offsets` (object 1 the
// catalog): the cross-reference table, the trailer and the end marker.
QByteArray withCrossReferences(QByteArray out, const std::vector<qsizetype> &offsets)
{
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(qsizetype(offsets.size() + 1)) + "\n";
    out += "0000000000 65535 f \n";
    for (qsizetype off : offsets)
        out += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(qsizetype(offsets.size() + 1))
           + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

} // namespace

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

    return withCrossReferences(out, offsets);
}

QByteArray makePageTreePdf(PageTreeShape shape)
{
    const bool twoLevel = shape == PageTreeShape::TwoLevel
                          || shape == PageTreeShape::TwoLevelCountTooLow
                          || shape == PageTreeShape::ListsAncestor;
    // Objects: 1 catalog, 2 root, 3 font, (4 and 5: the two nodes), then
    // per page: page + content.
    const int firstPage = twoLevel ? 6 : 4;
    auto ref = [](int num) { return QByteArray::number(num) + " 0 R "; };
    auto pageRef = [&](int i) { return ref(firstPage + 2 * i); };
    const QByteArray resources = " /Resources << /Font << /F1 3 0 R >> >>";

    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>", {},
                              "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    int rootCount = 4;
    if (shape == PageTreeShape::CountTooLow)
        rootCount = 2;
    else if (shape == PageTreeShape::CountTooHigh)
        rootCount = 12;
    else if (shape == PageTreeShape::TwoLevelCountTooLow)
        rootCount = 3;
    if (twoLevel) {
        objects[1] = "<< /Type /Pages /Kids [4 0 R 5 0 R] /Count " + QByteArray::number(rootCount)
                     + " >>";
        objects << "<< /Type /Pages /Parent 2 0 R /Kids [" + pageRef(0) + pageRef(1)
                       + "] /Count 2" + resources + " >>";
        objects << "<< /Type /Pages /Parent 2 0 R /Kids [" + pageRef(2)
                       + (shape == PageTreeShape::ListsAncestor ? ref(2) : QByteArray())
                       + pageRef(3) + "] /Count 2" + resources + " >>";
    } else {
        objects[1] = "<< /Type /Pages /Kids [" + pageRef(0) + pageRef(1)
                     + (shape == PageTreeShape::ListsItself ? ref(2) : QByteArray()) + pageRef(2)
                     + pageRef(3) + "] /Count " + QByteArray::number(rootCount) + resources
                     + " >>";
    }
    for (int i = 0; i < 4; ++i) {
        const int parent = twoLevel ? 4 + i / 2 : 2;
        const QByteArray text = "0 0.5 0 rg 10 10 30 30 re f BT /F1 40 Tf 20 150 Td (Page "
                                + QByteArray::number(i + 1) + ") Tj ET";
        objects << "<< /Type /Page /Parent " + ref(parent) + "/MediaBox [0 0 "
                       + QByteArray::number(200 + 50 * i) + " 300] /Contents "
                       + ref(firstPage + 2 * i + 1) + ">>";
        objects << "<< /Length " + QByteArray::number(text.size()) + " >>\nstream\n" + text
                       + "\nendstream";
    }

    QByteArray out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    return withCrossReferences(out, offsets);
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
