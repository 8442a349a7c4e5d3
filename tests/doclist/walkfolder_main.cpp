// Runs the add-folder walk on one folder and prints what it found, so a test
// can run the walk as another user: one "D<TAB>path" line per document, then
// one "U<TAB>line" line per folder it could not enter.
#include "doclist/addfolder.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fputs("usage: rw_walkfolder FOLDER\n", stderr);
        return 2;
    }
    QStringList unentered;
    const QStringList documents = AddFolder::CollectDocuments(args[1], nullptr, &unentered);
    for (const QString &d : documents)
        std::printf("D\t%s\n", d.toUtf8().constData());
    for (const QString &u : unentered)
        std::printf("U\t%s\n", u.toUtf8().constData());
    return 0;
}
