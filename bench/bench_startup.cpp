// Start-up: the time from starting tessaly to its start-up window being mapped on a private X
// display, and its resident memory then, against the toolkit's floor (bench_floor: one QLabel
// window). The map is seen as the X server announces it (MapNotify on the root window), not by
// polling. Runs alternate between the two programs; medians are compared.
#include "harness.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>

using namespace bench;

namespace {

constexpr double ratioTarget = 1.3;

struct Sample
{
    double ms = 0;
    double residentMb = 0;
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
    if (!window)
        fail("%s mapped no window", qPrintable(program));
    Sample s;
    s.ms = std::chrono::duration<double, std::milli>(window->mappedAt - start).count();
    s.residentMb = double(kb) / 1024.0;
    child.stop();
    return s;
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
    x.watchMaps();

    const QString tessaly = binary(QStringLiteral("tessaly"));
    const QString floor = QDir(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath())
                              .filePath(QStringLiteral("bench_floor"));
    note("bench_startup: Xvfb %s, %d runs each, alternating, after one warm-up run each",
        qPrintable(server.display()), runs);
    launch(x, tessaly);
    launch(x, floor);
    QList<double> ourMs, floorMs, ourMb, floorMb;
    for (int i = 0; i < runs; ++i) {
        const Sample a = launch(x, tessaly);
        const Sample b = launch(x, floor);
        note("  run %d: tessaly %.1f ms %.1f MB, floor %.1f ms %.1f MB", i + 1, a.ms, a.residentMb,
            b.ms, b.residentMb);
        ourMs << a.ms;
        ourMb << a.residentMb;
        floorMs << b.ms;
        floorMb << b.residentMb;
    }
    const double timeRatio = median(ourMs) / median(floorMs);
    const double memoryRatio = median(ourMb) / median(floorMb);
    row(QStringLiteral("start-up: time to a mapped window"),
        QStringLiteral("%1 ms · floor %2 ms · ×%3")
            .arg(median(ourMs), 0, 'f', 1)
            .arg(median(floorMs), 0, 'f', 1)
            .arg(timeRatio, 0, 'f', 2),
        QStringLiteral("≤ ×%1").arg(ratioTarget), timeRatio <= ratioTarget);
    row(QStringLiteral("start-up: resident memory when mapped"),
        QStringLiteral("%1 MB · floor %2 MB · ×%3")
            .arg(median(ourMb), 0, 'f', 1)
            .arg(median(floorMb), 0, 'f', 1)
            .arg(memoryRatio, 0, 'f', 2),
        QStringLiteral("≤ ×%1").arg(ratioTarget), memoryRatio <= ratioTarget);
    return 0;
}
