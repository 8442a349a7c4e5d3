// Compares page images: for two folders (or two files) of JPEG pages, the
// pixel difference of each pair of images with the same name: size, largest
// and mean absolute difference of any channel, PSNR. Used to check that a
// faster renderer still draws the same pages (differences of JPEG noise
// only).
//
//   bench_imagediff OLD NEW        folders or files
//   bench_imagediff --png IN OUT   writes a JPEG as PNG (to look at it)

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QTextStream>
#include <cmath>
#include <cstdio>

namespace {

struct Difference {
    bool sameSize = false;
    int maxAbs = 0;
    double meanAbs = 0;
    double squared = 0; // sum of squared differences
    qint64 samples = 0;
};

Difference compare(const QImage &a, const QImage &b)
{
    Difference d;
    if (a.size() != b.size())
        return d;
    d.sameSize = true;
    const QImage x = a.convertToFormat(QImage::Format_RGB888);
    const QImage y = b.convertToFormat(QImage::Format_RGB888);
    qint64 sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar *p = x.constScanLine(row);
        const uchar *q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 3; ++i) {
            const int diff = std::abs(int(p[i]) - int(q[i]));
            d.maxAbs = std::max(d.maxAbs, diff);
            sum += diff;
            d.squared += double(diff) * diff;
        }
    }
    d.samples = qint64(x.width()) * x.height() * 3;
    d.meanAbs = d.samples ? double(sum) / double(d.samples) : 0;
    return d;
}

double psnr(double squared, qint64 samples)
{
    if (samples == 0 || squared == 0)
        return INFINITY;
    return 10 * std::log10(255.0 * 255.0 / (squared / double(samples)));
}

} // namespace

int main(int argc, char **argv)
{
    QTextStream out(stdout);
    if (argc == 4 && QString(argv[1]) == "--png")
        return QImage(argv[2]).save(argv[3]) ? 0 : 1;
    if (argc != 3) {
        std::fputs("usage: bench_imagediff OLD NEW | --png IN.jpg OUT.png\n", stderr);
        return 2;
    }
    QStringList names;
    QString oldDir, newDir;
    if (QFileInfo(argv[1]).isDir()) {
        oldDir = argv[1];
        newDir = argv[2];
        names = QDir(oldDir).entryList({"*.jpg"}, QDir::Files, QDir::Name);
    } else {
        oldDir = QFileInfo(argv[1]).path();
        newDir = QFileInfo(argv[2]).path();
        names << QFileInfo(argv[1]).fileName();
        if (QFileInfo(argv[2]).fileName() != names[0]) {
            // Two single files of different names.
            const Difference d = compare(QImage(argv[1]), QImage(argv[2]));
            out << (d.sameSize ? "" : "SIZE DIFFERS ") << "max " << d.maxAbs << " mean "
                << d.meanAbs << " PSNR " << psnr(d.squared, d.samples) << " dB\n";
            return d.sameSize ? 0 : 1;
        }
    }
    int worstMax = 0, differentSizes = 0, missing = 0;
    double squared = 0, meanSum = 0;
    qint64 samples = 0;
    for (const QString &name : names) {
        const QString other = newDir + "/" + name;
        if (!QFileInfo::exists(other)) {
            ++missing;
            continue;
        }
        const Difference d = compare(QImage(oldDir + "/" + name), QImage(other));
        if (!d.sameSize) {
            ++differentSizes;
            out << name << ": size differs\n";
            continue;
        }
        worstMax = std::max(worstMax, d.maxAbs);
        squared += d.squared;
        samples += d.samples;
        meanSum += d.meanAbs;
    }
    const int compared = int(names.size()) - missing - differentSizes;
    out << compared << " images compared, " << differentSizes << " of another size, " << missing
        << " missing in " << newDir << "; largest difference " << worstMax
        << ", mean absolute difference " << (compared ? meanSum / compared : 0) << ", PSNR "
        << psnr(squared, samples) << " dB\n";
    return differentSizes == 0 && missing == 0 ? 0 : 1;
}
