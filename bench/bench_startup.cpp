// Start-up: the time from starting tessaly to its start-up window being mapped on a private X
// display, and its resident memory then, against the toolkit's floor (bench_floor: one QLabel
// window). The map is seen as the X server announces it (MapNotify on the root window), not by
// polling. The time to the window's first drawing (a DAMAGE event) is shown beside it: what the
// operator sees, whatever a program does before and after its map. Runs alternate between the
// two programs; medians are compared. The log also gives the processor time used up to the map.
#include "harness.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>

using namespace bench;

namespace {

constexpr double ratioTarget = 1.3;

struct Sample
{
    double ms = 0; // to the window mapped
    double drawnMs = 0; // to its first drawing
    double residentMb = 0;
    double cpuMs = 0; // processor time used when mapped
};

Sample launch(XWatch &x, const QString &program)
{
    Child child;
    Child::Options options;
    options.environment = { QStringLiteral("QT_QPA_PLATFORM=xcb") };
    const auto start = Clock::now();
    if (!child.start(program, {}, options))
        fail("%s did not start", qPrintable(program));
    const std::optional<XWatch::Window> window = x.waitForMap(child.pid(), 20000ms);
    const qint64 kb = residentKb(child.pid());
    const double cpu = cpuMs(child.pid());
    if (!window)
        fail("%s mapped no window", qPrintable(program));
    const std::optional<Clock::time_point> drawn = x.waitForDrawing(window->id, 20000ms);
    if (!drawn)
        fail("%s drew nothing into its window", qPrintable(program));
    Sample s;
    s.ms = std::chrono::duration<double, std::milli>(window->mappedAt - start).count();
    s.drawnMs = std::chrono::duration<double, std::milli>(*drawn - start).count();
    s.residentMb = double(kb) / 1024.0;
    s.cpuMs = cpu;
    child.stop();
    return s;
}

// One figure: the medians of both programs and their ratio, against the ratio target.
void ratioRow(const QString &figure, const QString &unit, const QList<double> &ours,
    const QList<double> &floor)
{
    const double ratio = median(ours) / median(floor);
    row(figure,
        QStringLiteral("%1 %4 · floor %2 %4 · ×%3")
            .arg(median(ours), 0, 'f', 1)
            .arg(median(floor), 0, 'f', 1)
            .arg(ratio, 0, 'f', 2)
            .arg(unit),
        QStringLiteral("≤ ×%1").arg(ratioTarget), ratio <= ratioTarget);
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 5;
    if (argc == 3 && QString::fromLocal8Bit(argv[1]) == QLatin1String("--runs"))
        runs = qMax(1, std::atoi(argv[2]));
    Display display;
    startDisplay(display, "bench_startup", false);
    XServer &server = display.server;
    XWatch &x = display.x;
    if (!x.watchMaps(true))
        fail("the X server has no DAMAGE extension");

    const QString tessaly = binary(QStringLiteral("tessaly"));
    const QString floor = QDir(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath())
                              .filePath(QStringLiteral("bench_floor"));
    note("bench_startup: Xvfb %s, %d runs each, alternating, after one warm-up run each",
        qPrintable(server.display()), runs);
    launch(x, tessaly);
    launch(x, floor);
    QList<double> ourMs, floorMs, ourMb, floorMb, ourDrawn, floorDrawn;
    for (int i = 0; i < runs; ++i) {
        const Sample a = launch(x, tessaly);
        const Sample b = launch(x, floor);
        note("  run %d: tessaly mapped %.1f ms (CPU %.1f ms) drawn %.1f ms %.1f MB, "
             "floor mapped %.1f ms (CPU %.1f ms) drawn %.1f ms %.1f MB",
            i + 1, a.ms, a.cpuMs, a.drawnMs, a.residentMb, b.ms, b.cpuMs, b.drawnMs, b.residentMb);
        ourMs << a.ms;
        ourDrawn << a.drawnMs;
        floorDrawn << b.drawnMs;
        ourMb << a.residentMb;
        floorMs << b.ms;
        floorMb << b.residentMb;
    }
    ratioRow(QStringLiteral("start-up: time to a mapped window"), QStringLiteral("ms"), ourMs,
        floorMs);
    ratioRow(QStringLiteral("start-up: time to a drawn window"), QStringLiteral("ms"), ourDrawn,
        floorDrawn);
    ratioRow(QStringLiteral("start-up: resident memory when mapped"), QStringLiteral("MB"), ourMb,
        floorMb);
    return 0;
}
