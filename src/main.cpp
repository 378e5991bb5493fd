#include "link/portlist.h"
#include "link/serialcontrol.h"
#include "ui/diagnostics.h"
#include "ui/forms.h"
#include "ui/startup/commandline.h"
#include "ui/startup/frmsplash.h"
#include "version.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication::setApplicationName(QStringLiteral("Tessaly"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral("io.github.tessaly.Tessaly"));

    // The command line is read before any window system is reached, so that --help, --version
    // and a refused option answer on a machine with no display. On the way to the window nothing
    // more is needed than the arguments; a console application is set up only to answer.
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine commandLine;
    const CommandLine::Outcome outcome = commandLine.parse(arguments);
    if (outcome != CommandLine::Outcome::Run) {
        const QCoreApplication console(argc, argv);
        switch (outcome) {
        case CommandLine::Outcome::Help:
            std::fputs(qUtf8Printable(commandLine.helpText()), stdout);
            return 0;
        case CommandLine::Outcome::Version:
            std::fputs(qUtf8Printable(commandLine.versionText() + QLatin1Char('\n')), stdout);
            return 0;
        case CommandLine::Outcome::Error:
            std::fputs(qUtf8Printable(QStringLiteral("tessaly : %1\nVoir « tessaly --help ».\n")
                                          .arg(commandLine.errorText())),
                stderr);
            return CommandLine::usageExitStatus;
        case CommandLine::Outcome::ListPorts:
            std::fputs(qUtf8Printable(PortList::scan().listing(commandLine.portMap())), stdout);
            return 0;
        case CommandLine::Outcome::Run:
            break;
        }
    }
    SerialControl::setPortMap(commandLine.portMap());

    QApplication app(argc, argv);
    Diagnostics::start();

    Q_INIT_RESOURCE(resources);

    // The program lives as long as a window is loaded, shown or not.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&Forms::instance(), &Forms::noFormLoaded, &app, &QCoreApplication::quit);

    frmSplash::form()->show();
    // The start-up window has neither title bar nor task-bar entry, so its icon is never seen:
    // the program's icon is decoded once that window is up, ready for the main window.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
    return app.exec();
}
