// The program's cost on a busy line: tessaly-sim streams one-character replies ("!") at a given
// rate to the real program, shown on a private X display. The operator's path starts it: Enter
// on the start-up window, then a click on "Lecture de la config. des ports", whose "SETU" starts
// the stream. Figures: the program's CPU time over the stream as a share of one core, from
// /proc (the median of a few runs: a single run varies by a point or so); from its diagnostics
// file, whether every character reached the trace, the trace box's repaints and the event loop's
// longest stall (the worst of the runs).
#include "harness.h"

#include <QString>
#include <QTemporaryDir>

#include <cstdlib>

using namespace bench;

namespace {

constexpr double stallTarget = 100; // ms
constexpr double paintsTarget = 5; // trace box repaints a second, at least

struct Result
{
    double cpuShare = 0; // % of one core
    double seconds = 0;
    qint64 sent = 0;
    Figures last;
    double longestStall = 0;
    double paintsPerSecond = 0;
    double serverShare = 0;
};

Result measure(XWatch &x, pid_t server, int rate, int duration)
{
    QTemporaryDir work;
    Simulator sim;
    Tessaly program;
    const XWatch::Window main = startOnSimulator(x, sim, program,
        { QStringLiteral("--stream"), QString::number(rate), QStringLiteral("--duration"),
            QString::number(duration) },
        work.path());
    sleepFor(1000ms);

    Result r;
    const qint64 paintsBefore = figure(program.figures(), QStringLiteral("trace_paints"));
    const qint64 monoStart = monotonicMs();
    const qint64 cpuBefore = cpuTicks(program.pid());
    const qint64 serverBefore = cpuTicks(server);
    const auto start = Clock::now();
    if (!program.clickPortRead(main))
        fail("xdotool could not click the read button");

    qint64 lastVersion = 0;
    const auto watchStall = [&](const Figures &f) {
        const qint64 version = figure(f, QStringLiteral("clock_ms"));
        if (version > lastVersion && version >= monoStart) {
            r.longestStall
                = qMax(r.longestStall, figureF(f, QStringLiteral("period_longest_gap_ms")));
            lastVersion = version;
        }
    };
    std::optional<qint64> sent;
    while (!(sent = sim.reported())) {
        if (msSince(start) > (duration + 30) * 1000.0 || !program.child().running())
            fail("the stream did not end: %s", qPrintable(program.errorOutput()));
        watchStall(program.figures());
        sleepFor(50ms);
    }
    const qint64 cpuAfter = cpuTicks(program.pid());
    const qint64 serverAfter = cpuTicks(server);
    r.seconds = msSince(start) / 1000.0;
    r.sent = *sent;
    r.cpuShare = 100.0 * double(cpuAfter - cpuBefore) / double(ticksPerSecond()) / r.seconds;
    r.serverShare
        = 100.0 * double(serverAfter - serverBefore) / double(ticksPerSecond()) / r.seconds;

    // The last replies may still be on their way through the event loop.
    const auto drain = Clock::now();
    while (figure(program.figures(), QStringLiteral("received_chars")) < r.sent
        && msSince(drain) < 5000) {
        watchStall(program.figures());
        sleepFor(50ms);
    }
    program.child().stop();
    r.last = program.figures();
    watchStall(r.last);
    r.paintsPerSecond
        = double(figure(r.last, QStringLiteral("trace_paints")) - paintsBefore) / r.seconds;
    if (figure(r.last, QStringLiteral("entries_out")) != 1)
        fail("the click did not send one command (%lld sent)",
            figure(r.last, QStringLiteral("entries_out")));
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QList<int> rates { 960, 9600 };
    int duration = 10;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString option = QString::fromLocal8Bit(argv[i]);
        if (option == QLatin1String("--rate"))
            rates = { std::atoi(argv[i + 1]) };
        else if (option == QLatin1String("--duration"))
            duration = std::atoi(argv[i + 1]);
        else if (option == QLatin1String("--runs"))
            runs = qMax(1, std::atoi(argv[i + 1]));
    }
    Display display;
    startDisplay(display, "bench_line", true);
    XServer &server = display.server;
    XWatch &x = display.x;
    note("bench_line: the real program on Xvfb %s, driven by xdotool; %d runs a rate, the median "
         "CPU share is the figure",
        qPrintable(server.display()), runs);

    for (const int rate : rates) {
        QList<double> shares;
        bool allTraced = true;
        double longestStall = 0;
        double fewestPaints = 1e9;
        qint64 fewestTraced = -1;
        qint64 sent = 0;
        for (int run = 0; run < runs; ++run) {
            const Result r = measure(x, server.pid(), rate, duration);
            const qint64 received = figure(r.last, QStringLiteral("received_chars"));
            const qint64 traced = figure(r.last, QStringLiteral("traced_chars"));
            fewestTraced = fewestTraced < 0 ? traced : qMin(fewestTraced, traced);
            sent = r.sent;
            note("  %d/s: %.2f s, CPU %.1f %% of a core (Xvfb %.1f %%); sent %lld, received %lld, "
                 "traced %lld in %lld entries over %lld receive events; longest stall %.1f ms, "
                 "%.1f trace repaints/s",
                rate, r.seconds, r.cpuShare, r.serverShare, static_cast<long long>(r.sent),
                static_cast<long long>(received), static_cast<long long>(traced),
                figure(r.last, QStringLiteral("entries_in")),
                figure(r.last, QStringLiteral("receive_events")), r.longestStall,
                r.paintsPerSecond);
            shares << r.cpuShare;
            allTraced = allTraced && traced == r.sent && received == r.sent;
            longestStall = qMax(longestStall, r.longestStall);
            fewestPaints = qMin(fewestPaints, r.paintsPerSecond);
        }
        const double share = median(shares);
        const double target = rate <= 960 ? 5 : 30;
        const bool repainting = longestStall <= stallTarget && fewestPaints >= paintsTarget;
        row(QStringLiteral("line: %1 replies/s, %2 s, CPU").arg(rate).arg(duration),
            QStringLiteral("%1 % · %2/%3 traced · stall %4 ms · %5 paints/s")
                .arg(share, 0, 'f', 1)
                .arg(fewestTraced)
                .arg(sent)
                .arg(longestStall, 0, 'f', 0)
                .arg(fewestPaints, 0, 'f', 0),
            QStringLiteral("≤ %1 % · all · ≤ %2 ms").arg(target).arg(stallTarget),
            share <= target && allTraced && repainting);
    }
    return 0;
}
