// Soak: tessaly-sim floods the real program with 10 MB of random bytes, then, in a second run,
// with 10 MB holding a terminator every few hundred bytes. Figures for each flood: the
// program's resident memory against its idle size (sampled every 100 ms), the event loop's
// longest stall while the bytes pour in, and the characters received against the bytes the
// simulator reports sent (a reply still waiting for its terminator is held, not lost).
#include "harness.h"

#include <QTemporaryDir>

#include <cstdlib>

using namespace bench;

namespace {

constexpr double growthTargetMb = 20;
constexpr double stallTargetMs = 100;
constexpr int floodTimeoutS = 600;

struct Phase
{
    QString name;
    QStringList arguments;
};

void soak(XWatch &x, const Phase &phase, qint64 bytes)
{
    QTemporaryDir work;
    Simulator sim;
    QStringList arguments { QStringLiteral("--flood"), QString::number(bytes),
        QStringLiteral("--seed"), QStringLiteral("1") };
    arguments += phase.arguments;
    Tessaly program;
    const XWatch::Window main = startOnSimulator(x, sim, program, arguments, work.path());

    // Idle: the main window shown and settled, the port open, nothing received.
    sleepFor(1500ms);
    QList<double> idleSamples;
    for (int i = 0; i < 5; ++i) {
        idleSamples << double(residentKb(program.pid())) / 1024.0;
        sleepFor(100ms);
    }
    const double idleMb = median(idleSamples);

    const qint64 monoStart = monotonicMs();
    const auto start = Clock::now();
    if (!program.clickPortRead(main))
        fail("xdotool could not click the read button");

    double peakMb = idleMb;
    double longestStall = 0;
    qint64 lastVersion = 0;
    const auto sample = [&] {
        if (!program.child().running())
            fail("tessaly ended during the flood: %s", qPrintable(program.errorOutput()));
        peakMb = qMax(peakMb, double(residentKb(program.pid())) / 1024.0);
        const Figures f = program.figures();
        const qint64 version = figure(f, QStringLiteral("clock_ms"));
        if (version > lastVersion && version >= monoStart) {
            longestStall = qMax(longestStall, figureF(f, QStringLiteral("period_longest_gap_ms")));
            lastVersion = version;
        }
        return f;
    };
    std::optional<qint64> sent;
    while (!(sent = sim.reported())) {
        if (msSince(start) > floodTimeoutS * 1000.0)
            fail("%s: the flood did not end in %d s", qPrintable(phase.name), floodTimeoutS);
        sample();
        sleepFor(100ms);
    }
    const double floodSeconds = msSince(start) / 1000.0;
    // What the pty still held when the simulator finished writing reaches the program next.
    const auto drain = Clock::now();
    while (figure(sample(), QStringLiteral("received_chars")) < *sent && msSince(drain) < 10000)
        sleepFor(100ms);
    sample();
    program.child().stop();
    const Figures last = program.figures();
    if (figure(last, QStringLiteral("clock_ms")) > lastVersion)
        longestStall = qMax(longestStall, figureF(last, QStringLiteral("period_longest_gap_ms")));

    const qint64 received = figure(last, QStringLiteral("received_chars"));
    const qint64 traced = figure(last, QStringLiteral("traced_chars"));
    const qint64 pending = figure(last, QStringLiteral("pending_chars"));
    note("  %s: %s; %.1f s (%.2f MB/s); received %lld, traced %lld in %lld entries, %lld "
         "waiting for a terminator; memory idle %.1f MB, peak %.1f MB; longest stall %.1f ms "
         "(%lld receive events)",
        qPrintable(phase.name), qPrintable(sim.report()), floodSeconds,
        double(*sent) / 1e6 / floodSeconds, static_cast<long long>(received),
        static_cast<long long>(traced), figure(last, QStringLiteral("entries_in")),
        static_cast<long long>(pending), idleMb, peakMb, longestStall,
        figure(last, QStringLiteral("receive_events")));

    row(QStringLiteral("soak: %1, memory growth").arg(phase.name),
        QStringLiteral("+%1 MB (idle %2 MB, peak %3 MB)")
            .arg(peakMb - idleMb, 0, 'f', 1)
            .arg(idleMb, 0, 'f', 1)
            .arg(peakMb, 0, 'f', 1),
        QStringLiteral("≤ %1 MB").arg(growthTargetMb), peakMb - idleMb <= growthTargetMb);
    row(QStringLiteral("soak: %1, longest stall").arg(phase.name),
        QStringLiteral("%1 ms (%2 s at %3 MB/s)")
            .arg(longestStall, 0, 'f', 1)
            .arg(floodSeconds, 0, 'f', 1)
            .arg(double(*sent) / 1e6 / floodSeconds, 0, 'f', 2),
        QStringLiteral("≤ %1 ms").arg(stallTargetMs), longestStall <= stallTargetMs);
    row(QStringLiteral("soak: %1, bytes traced").arg(phase.name),
        QStringLiteral("%1 of %2 (%3 traced + %4 held)")
            .arg(received)
            .arg(*sent)
            .arg(traced)
            .arg(pending),
        QStringLiteral("= sent"), received == *sent && traced + pending == *sent);
}

} // namespace

int main(int argc, char **argv)
{
    qint64 bytes = 10000000;
    if (argc == 3 && QString::fromLocal8Bit(argv[1]) == QLatin1String("--bytes"))
        bytes = std::atoll(argv[2]);
    Display display;
    startDisplay(display, "soak", true);
    XServer &server = display.server;
    XWatch &x = display.x;
    note("soak: the real program on Xvfb %s, %lld bytes a flood", qPrintable(server.display()),
        static_cast<long long>(bytes));

    soak(x, { QStringLiteral("random bytes"), {} }, bytes);
    soak(x,
        { QStringLiteral("terminator every ~300"),
            { QStringLiteral("--terminator-every"), QStringLiteral("300") } },
        bytes);
    return 0;
}
