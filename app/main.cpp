#include "app/form1.h"
#include "app/version.h"
#include "platform/appfolder.h"
#include "platform/clock.h"
#include "platform/eventpump.h"
#include "platform/gui/dialogs.h"
#include "platform/gui/messagebox.h"
#include "platform/homepage.h"
#include "platform/process.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", Version::ProductName, Version::FileVersion);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(Version::ProductName));
    QApplication::setOrganizationName(QString::fromLatin1(Version::CompanyName));
    QApplication::setApplicationVersion(QString::fromLatin1(Version::FileVersion));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/art/rasterwell.png")));

    Platform::PosixProcessApi processes;
    Platform::SystemClock clock;
    Platform::StdRandomSource random;
    Platform::XdgHomePageOpener homePage;
    Platform::QtDialogs dialogs;
    Platform::QtEventPump pump;
    Platform::QMessageBoxSink messages;

    AppServices services;
    services.appFolder = Platform::applicationFolder();
    services.messages = &messages;
    services.processes = &processes;
    services.clock = &clock;
    services.random = &random;
    services.homePage = &homePage;
    services.dialogs = &dialogs;
    services.pump = &pump;
    services.endProgram = [&processes] {
        // Closing the window ends everything at once, our children first.
        processes.terminateAll();
        std::fflush(nullptr);
        std::_Exit(0);
    };

    Form1 form(services);
    messages.setParent(&form);
    form.load();
    form.show();
    return app.exec();
}
