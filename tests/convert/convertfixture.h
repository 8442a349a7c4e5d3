#pragma once

#include "convert/runview.h"
#include "platform/pointer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QStringList>
#include <vector>

// A fake application folder for the conversion tests, with small shell
// scripts standing in for the companions, and recording stand-ins for what a
// run shows.
namespace ConvertFixture {

// The toolkit writes its result file (argument 4) unless the document holds
// "PROTECTED": then it exits with 1, the toolkit's "needs a password". It
// notes each document it was given in probe.log.
inline const QByteArray ReadingToolkit =
    "printf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/probe.log\"\n"
    "grep -q PROTECTED -- \"$1\" && exit 1\n"
    ": > \"$4\"\n";

// The converter writes one image per "PAGE" line of the staged copy, each
// naming its page and the document's first line, unless the document holds
// "NOIMAGE"; then it deletes the staged copy and notes its folder.
inline const QByteArray PagingScript =
    "pwd >> ../script.log\n"
    "if ! grep -q NOIMAGE current.pdf; then\n"
    "  name=$(head -n 1 current.pdf)\n"
    "  n=$(grep -c '^PAGE' current.pdf)\n"
    "  i=1\n"
    "  while [ $i -le $n ]; do\n"
    "    printf 'page %d of %s\\n' $i \"$name\" > $(printf 'current-%03d.jpg' $i)\n"
    "    i=$((i + 1))\n"
    "  done\n"
    "fi\n"
    "rm -f current.pdf\n";

// A shell function for fake converters: `record_image PAGE PAGES FILE`
// starts FILE as the renderer starts a page image, with the start of a
// JPEG and the record of its making (see convert/imagerecord.h), made
// from current.pdf, RASTERWELL_SOURCE and the resolution and quality the
// script would use; the caller appends the rest.
// (Its variables are the script's too: they all start with "rec_".)
inline const QByteArray RecordImageFunction =
    "record_image() {\n"
    "  rec_sum=$(sha256sum current.pdf | cut -c1-64)\n"
    "  rec_text=\"rasterwell-image/1 page=$1 pages=$2 r=${RASTERWELL_RESOLUTION:-${RESOLUTION:-150}}\"\n"
    "  rec_text=\"$rec_text q=${RASTERWELL_QUALITY:-${QUALITY:-90}} $RASTERWELL_SOURCE sha256=$rec_sum\"\n"
    "  rec_length=$(( ${#rec_text} + 2 ))\n"
    "  printf '\\377\\330\\377\\376' > \"$3\"\n"
    "  printf \"\\\\$(printf %03o $((rec_length / 256)))\\\\$(printf %03o $((rec_length % 256)))\" >> \"$3\"\n"
    "  printf '%s' \"$rec_text\" >> \"$3\"\n"
    "}\n";

// A document for the fakes: its name line, then one line per page.
inline QByteArray document(const QString &name, int pages, const QByteArray &mark = {})
{
    QByteArray text = name.toUtf8() + "\n";
    for (int i = 0; i < pages; ++i)
        text += "PAGE\n";
    return text + mark + "\n";
}

class AppFolder {
public:
    explicit AppFolder(const QString &appName = QStringLiteral("app")) : name(appName)
    {
        QDir(dir.path()).mkpath(name + "/ps");
        QDir(dir.path()).mkpath("docs");
    }
    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.filePath(name); }
    QString staging() const { return dir.filePath(name + "/ps"); }
    QString docs() const { return dir.filePath("docs"); }
    QString root() const { return dir.path(); }

    static bool writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
            return false;
        f.close();
        return !executable || f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
    }
    bool writeToolkit(const QByteArray &body = ReadingToolkit, bool executable = true) const
    {
        return writeFile(path() + "/pdftk.exe", "#!/bin/sh\n" + body, executable);
    }
    bool writeScript(const QByteArray &body = PagingScript, bool executable = true) const
    {
        return writeFile(staging() + "/pdf2tiff.bat", "#!/bin/sh\n" + body, executable);
    }
    QString writeDocument(const QString &name, const QByteArray &bytes) const
    {
        const QString p = docs() + "/" + name;
        QDir().mkpath(QFileInfo(p).path());
        return writeFile(p, bytes) ? p : QString();
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static QStringList lines(const QString &path)
    {
        return QString::fromUtf8(read(path)).split('\n', Qt::SkipEmptyParts);
    }
    // Everything in the staging folder besides the converter script.
    QStringList stagingLeftovers() const
    {
        QStringList names = QDir(staging()).entryList(QDir::AllEntries | QDir::Hidden
                                                      | QDir::NoDotAndDotDot);
        names.removeAll("pdf2tiff.bat");
        return names;
    }
    QStringList probed() const { return lines(path() + "/probe.log"); }
    QStringList scriptRuns() const { return lines(path() + "/script.log"); }

private:
    QTemporaryDir dir;
    QString name;
};

class RecordingView final : public RunView {
public:
    void setProgress(double percent) override { progress.push_back(percent); }
    void setApplicationPointer(int code) override { appPointer.push_back(code); }
    double lastProgress() const { return progress.empty() ? 0 : progress.back(); }
    std::vector<double> progress;
    std::vector<int> appPointer;
};

class ListSource final : public DocumentSource {
public:
    int count() const override { return int(items.size()); }
    std::optional<QString> textAt(int position) const override
    {
        if (position < 1 || position > items.size())
            return std::nullopt;
        return items[position - 1];
    }
    QStringList items;
};

} // namespace ConvertFixture
