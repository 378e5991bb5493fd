#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop through a self-pipe, so the link is removed on the way
// out and the exit code stays 0.
bool installSignalHandlers()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        ::sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// A number option, or its default when absent; nullopt (after saying so) when it is not a
// number of at least zero.
std::optional<double> number(
    const QCommandLineParser &parser, const QCommandLineOption &option, double byDefault)
{
    if (!parser.isSet(option))
        return byDefault;
    bool ok = false;
    const double value = parser.value(option).toDouble(&ok);
    if (ok && value >= 0)
        return value;
    std::fprintf(stderr, "tessaly-sim: invalid value for --%s: %s\n",
        qPrintable(option.names().constFirst()), qPrintable(parser.value(option)));
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaly-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays a KSL 4820/xx device on a pseudo-terminal for Tessaly.\n"
        "Prints the pty's device path on the first line of standard output, then answers\n"
        "the commands it reads there until SIGINT or SIGTERM.\n"
        "With --stream or --flood, the first command received starts the stream or flood\n"
        "instead of being answered; later commands are answered once it is over."));
    parser.addHelpOption();
    const QCommandLineOption chunk(QStringLiteral("chunk"),
        QStringLiteral("Write each reply in pieces of <n> bytes."), QStringLiteral("n"));
    const QCommandLineOption chunkPause(QStringLiteral("chunk-pause"),
        QStringLiteral("Pause between pieces of a chunked reply (default 2)."),
        QStringLiteral("ms"));
    const QCommandLineOption delay(QStringLiteral("delay"),
        QStringLiteral("Wait <ms> before each reply."), QStringLiteral("ms"));
    const QCommandLineOption noise(QStringLiteral("noise"),
        QStringLiteral("Put <n> random printable bytes, never \"!\" or \"?\", before each "
                       "reply."),
        QStringLiteral("n"));
    const QCommandLineOption stream(QStringLiteral("stream"),
        QStringLiteral("Answer the first command with <rate> one-character \"!\" replies a "
                       "second, each in its own write, for --duration seconds; the count "
                       "sent goes to standard error."),
        QStringLiteral("rate"));
    const QCommandLineOption duration(QStringLiteral("duration"),
        QStringLiteral("How long --stream lasts."), QStringLiteral("seconds"));
    const QCommandLineOption flood(QStringLiteral("flood"),
        QStringLiteral("Answer the first command with <bytes> random bytes, as fast as the "
                       "pty takes them; the count goes to standard error."),
        QStringLiteral("bytes"));
    const QCommandLineOption terminatorEvery(QStringLiteral("terminator-every"),
        QStringLiteral("In --flood, a \"!\" about every <n> bytes (0: no \"!\" or \"?\" at "
                       "all, the default)."),
        QStringLiteral("n"));
    const QCommandLineOption seed(QStringLiteral("seed"),
        QStringLiteral("Seed of the random bytes (default 1)."), QStringLiteral("s"));
    const QCommandLineOption link(QStringLiteral("link"),
        QStringLiteral("Also make a symbolic link <path> to the pty, removed on exit."),
        QStringLiteral("path"));
    parser.addOptions(
        { chunk, chunkPause, delay, noise, stream, duration, flood, terminatorEvery, seed, link });
    parser.process(app);

    const auto chunkValue = number(parser, chunk, 0);
    const auto chunkPauseValue = number(parser, chunkPause, 2);
    const auto delayValue = number(parser, delay, 0);
    const auto noiseValue = number(parser, noise, 0);
    const auto streamValue = number(parser, stream, 0);
    const auto durationValue = number(parser, duration, 0);
    const auto floodValue = number(parser, flood, 0);
    const auto terminatorValue = number(parser, terminatorEvery, 0);
    const auto seedValue = number(parser, seed, 1);
    if (!chunkValue || !chunkPauseValue || !delayValue || !noiseValue || !streamValue
        || !durationValue || !floodValue || !terminatorValue || !seedValue)
        return 2;
    Simulator::Options options;
    options.chunk = int(*chunkValue);
    options.chunkPauseMs = int(*chunkPauseValue);
    options.delayMs = int(*delayValue);
    options.noise = int(*noiseValue);
    options.streamRate = *streamValue;
    options.streamSeconds = *durationValue;
    options.floodBytes = qint64(*floodValue);
    options.terminatorEvery = qint64(*terminatorValue);
    options.seed = quint32(*seedValue);
    if (options.streamRate > 0 && options.floodBytes > 0) {
        std::fprintf(stderr, "tessaly-sim: --stream and --flood exclude each other\n");
        return 2;
    }
    if (options.streamRate > 0 && options.streamSeconds <= 0) {
        std::fprintf(stderr, "tessaly-sim: --stream needs --duration\n");
        return 2;
    }

    if (!installSignalHandlers()) {
        std::perror("tessaly-sim: pipe");
        return 1;
    }
    Simulator simulator(options);
    QString error;
    if (!simulator.open(&error)) {
        std::fprintf(stderr, "tessaly-sim: %s\n", qPrintable(error));
        return 1;
    }

    const QByteArray linkPath = QFile::encodeName(parser.value(link));
    if (!linkPath.isEmpty()) {
        struct stat st
        {
        };
        if (::lstat(linkPath.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(linkPath.constData());
        if (::symlink(QFile::encodeName(simulator.slavePath()).constData(), linkPath.constData())
            != 0) {
            std::fprintf(stderr, "tessaly-sim: cannot link %s: %s\n", linkPath.constData(),
                std::strerror(errno));
            return 1;
        }
    }

    std::printf("%s\n", qPrintable(simulator.slavePath()));
    std::fflush(stdout);

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) { }
        QCoreApplication::quit();
    });
    const int code = app.exec();
    if (!linkPath.isEmpty())
        ::unlink(linkPath.constData());
    return code;
}
