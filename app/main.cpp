#include "app/form1.h"
#include "app/version.h"
#include "app/windowstart.h"
#include "cli/options.h"
#include "cli/cliconvert.h"
#include "platform/appfolder.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "platform/eventpump.h"
#include "platform/gui/dialogs.h"
#include "platform/gui/messagebox.h"
#include "platform/gui/singleinstance.h"
#include "platform/homepage.h"
#include "platform/pathcodec.h"
#include "platform/process.h"
#include "platform/sandboxstatus.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int UsageStatus = 2;

void noDisplay()
{
    std::fputs("rasterwell: no display can be opened for the window; "
               "use 'rasterwell --convert PATH...' to convert without one\n",
               stderr);
    std::fflush(stderr);
    std::_Exit(UsageStatus);
}

// Messages Qt logs while it opens the display; shown only when it succeeds.
QStringList &startupMessages()
{
    static QStringList held;
    return held;
}

// Qt ends the program with a fatal message when no platform plugin can be
// started (for instance DISPLAY names a server that is not there); that
// becomes our one-line explanation instead of an abort.
void holdStartupMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        if (message.contains(QLatin1String("platform plugin")))
            noDisplay();
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
    startupMessages() << message;
}

int runWindow(int argc, char *argv[], const QStringList &paths)
{
    if (!Platform::displayConfigured())
        noDisplay();
    const QtMessageHandler previous = qInstallMessageHandler(holdStartupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    for (const QString &m : std::as_const(startupMessages()))
        std::fprintf(stderr, "%s\n", qPrintable(m));
    QApplication::setApplicationName(QString::fromLatin1(Version::ProductName));
    QApplication::setOrganizationName(QString::fromLatin1(Version::CompanyName));
    QApplication::setApplicationVersion(QString::fromLatin1(Version::FileVersion));
    // The desktop matches the window to its entry: the Wayland app id and,
    // on X11, the window class "Rasterwell" (StartupWMClass).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.rasterwell.Rasterwell"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/art/rasterwell.png")));

    Platform::PosixProcessApi processes;
    Platform::SystemClock clock;
    Platform::StdRandomSource random;
    Platform::XdgHomePageOpener homePage;
    Platform::QtDialogs dialogs;
    Platform::QtEventPump pump;
    Platform::QMessageBoxSink messages;
    Platform::LocalInstanceChannel channel;
    // Ended by a signal, the window takes its companions with it.
    Platform::endChildrenOnTerminationSignals();

    AppServices services;
    services.appFolder = Platform::applicationFolder();
    services.messages = &messages;
    services.processes = &processes;
    services.clock = &clock;
    services.random = &random;
    services.homePage = &homePage;
    services.dialogs = &dialogs;
    services.pump = &pump;
    services.endProgram = [&processes, &channel] {
        // Closing the window ends everything at once, our children first;
        // later starts no longer look for this window.
        channel.stop();
        processes.terminateAll();
        std::fflush(nullptr);
        std::_Exit(0);
    };

    Form1 form(services);
    messages.setParent(&form);
    // Relative paths are taken from this start's working folder, also when
    // they are handed to a window started elsewhere.
    const WindowStart::Result result =
        WindowStart::start(form, channel, WindowStart::absolutePaths(paths, QDir::currentPath()));
    if (!channel.problem().isEmpty())
        std::fprintf(stderr, "rasterwell: %s\n", qPrintable(channel.problem()));
    if (result == WindowStart::Result::HandedOver)
        return 0;
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << Platform::decodePath(QByteArray(argv[i])); // exact bytes, also for non-UTF-8 names
    const CommandLine::Request request = CommandLine::parse(arguments);

    switch (request.mode) {
    case CommandLine::Mode::Version:
        std::printf("%s %s\n", Version::ProductName, Version::FileVersion);
        // The protections the programs that read documents run under.
        std::printf("Sandbox: %s\n",
                    qPrintable(Platform::sandboxStatus(Platform::applicationFolder())));
        return 0;
    case CommandLine::Mode::Help:
        std::fputs(qPrintable(CommandLine::help()), stdout);
        return 0;
    case CommandLine::Mode::UsageError:
        std::fprintf(stderr, "rasterwell: %s\n%s", Platform::displayPath(request.error).toUtf8().constData(),
                     qPrintable(CommandLine::usage()));
        return UsageStatus;
    case CommandLine::Mode::Convert: {
        QCoreApplication app(argc, argv);
        return Cli::convert(request, Platform::applicationFolder());
    }
    case CommandLine::Mode::Window:
        break;
    }
    return runWindow(argc, argv, request.paths);
}
