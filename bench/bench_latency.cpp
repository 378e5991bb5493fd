// Latency of a command: from a click on "Lecture de la config. des ports" to the last byte of
// "SETU\r" read at the other end of the line. In-process, for precision: the main window is
// loaded with COM1 on a pseudo-terminal this program holds, the option for COM1 is selected,
// and each click is a press and release delivered through the window system's entry point
// (QTest on the window, as the platform would deliver them). The master side is read as the
// event loop turns. The window is shown on a private Xvfb when there is one, otherwise on the
// offscreen platform.
#include "harness.h"

#include "link/portmap.h"
#include "link/serialcontrol.h"
#include "ui/main/principale.h"

#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTest>

#include <cstdlib>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace bench;

namespace {

constexpr int warmUp = 20;
constexpr double medianTarget = 1; // ms
constexpr double p99Target = 5; // ms

} // namespace

int main(int argc, char **argv)
{
    int clicks = 1000;
    if (argc == 3 && QString::fromLocal8Bit(argv[1]) == QLatin1String("--clicks"))
        clicks = qMax(1, std::atoi(argv[2]));

    XServer server;
    const bool onX = haveProgram(QStringLiteral("Xvfb")) && server.start();
    qputenv("QT_QPA_PLATFORM", onX ? "xcb" : "offscreen");

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        fail("openpty failed");
    termios t {};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    const QString slavePath = QString::fromLocal8Bit(::ptsname(master));

    QApplication app(argc, argv);
    note("bench_latency: in-process, %s; %d clicks after %d warm-up clicks",
        onX ? qPrintable(QStringLiteral("Xvfb ") + server.display()) : "offscreen platform", clicks,
        warmUp);
    PortMap ports;
    ports.map(1, slavePath);
    SerialControl::setPortMap(ports);

    Principale *window = Principale::form();
    window->show();
    if (!QTest::qWaitForWindowExposed(window))
        fail("the main window was not shown");
    window->portOption(1)->setChecked(true);
    if (!window->comm().PortOpen())
        fail("COM1 (%s) did not open", qPrintable(slavePath));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("LecturePort"));
    if (!button)
        fail("no LecturePort button");
    const QPoint at = button->mapTo(window, button->rect().center());

    QByteArray line;
    bool arrived = false;
    Clock::time_point arrivedAt;
    QSocketNotifier readable(master, QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, &readable, [&] {
        char buf[256];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0)
            line.append(buf, n);
        if (!arrived && line.endsWith("SETU\r")) {
            arrivedAt = Clock::now();
            arrived = true;
        }
    });

    QList<double> latencies;
    for (int i = 0; i < warmUp + clicks; ++i) {
        QTest::qWait(2); // the event loop turns between clicks, as it would between an operator's
        line.clear();
        arrived = false;
        const auto start = Clock::now();
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
        while (!arrived) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (msSince(start) > 5000)
                fail("click %d: no \"SETU\" on the line after 5 s (read: %s)", i + 1,
                    line.toPercentEncoding().constData());
        }
        if (line != "SETU\r")
            fail("click %d: the line carried %s", i + 1, line.toPercentEncoding().constData());
        if (i >= warmUp)
            latencies << std::chrono::duration<double, std::milli>(arrivedAt - start).count();
    }

    const double med = median(latencies);
    const double p99 = percentile(latencies, 99);
    note("  median %.3f ms, 90th %.3f ms, 99th %.3f ms, max %.3f ms", med,
        percentile(latencies, 90), p99, percentile(latencies, 100));
    row(QStringLiteral("latency: click to SETU\\r on the line, median"),
        QStringLiteral("%1 ms (%2 clicks)").arg(med, 0, 'f', 3).arg(clicks),
        QStringLiteral("≤ %1 ms").arg(medianTarget), med <= medianTarget);
    row(QStringLiteral("latency: click to SETU\\r on the line, p99"),
        QStringLiteral("%1 ms (max %2 ms)")
            .arg(p99, 0, 'f', 3)
            .arg(percentile(latencies, 100), 0, 'f', 3),
        QStringLiteral("≤ %1 ms").arg(p99Target), p99 <= p99Target);

    window->close();
    ::close(slave);
    ::close(master);
    return 0;
}
