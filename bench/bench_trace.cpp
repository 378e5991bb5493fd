// Cost of one incoming entry while the trace sits at its ceiling, shown in a text box, against
// replacing the box's whole text on every entry.
#include "link/exchangetrace.h"
#include "link/module1.h"
#include "link/serialcontrol.h"
#include "ui/traceview.h"

#include "table.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int entries = 3000;

QPlainTextEdit *makeBox()
{
    auto *box = new QPlainTextEdit;
    box->setReadOnly(true);
    box->setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 9));
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->resize(329, 349);
    box->show();
    return box;
}

// One entry per turn of the event loop: the worst case, a reply in every receive event.
double perEntryIncremental()
{
    SerialControl comm;
    ExchangeTrace trace;
    QPlainTextEdit *box = makeBox();
    new TraceView(&trace, box); // owned by the box
    Module1::attach({ &comm, &trace });
    for (int i = 0; i < 500; ++i)
        Module1::TraceReception(QStringLiteral("BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T !\r\n"));
    QCoreApplication::processEvents();

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < entries; ++i) {
        Module1::TraceReception(QStringLiteral("!"));
        QCoreApplication::processEvents();
    }
    const double us = timer.nsecsElapsed() / 1000.0 / entries;
    Module1::detach();
    delete box;
    return us;
}

// The same entries, with the box's text replaced whole from the trace on every entry.
double perEntryWholeText()
{
    QPlainTextEdit *box = makeBox();
    const QString separator = QString(88, QLatin1Char('-')) + QStringLiteral("\r\n");
    QString text;
    const QString full
        = QStringLiteral("R: BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T !$13$10\r\n") + separator;
    while (text.size() + full.size() <= ExchangeTrace::maxLength)
        text += full;
    box->setPlainText(text);
    QCoreApplication::processEvents();

    const QString entry = QStringLiteral("R: !\r\n") + separator;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < entries; ++i) {
        text += entry;
        if (text.size() > ExchangeTrace::maxLength) {
            const qsizetype excess = text.size() - ExchangeTrace::maxLength;
            text.remove(0, text.indexOf(QStringLiteral("\r\n"), excess - 2) + 2);
        }
        box->setPlainText(text);
        box->moveCursor(QTextCursor::End);
        QCoreApplication::processEvents();
    }
    const double us = timer.nsecsElapsed() / 1000.0 / entries;
    delete box;
    return us;
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Entries arriving at the line's worst-case pace, one reply per receive event: the share of one
// core the trace and its box take.
double cpuShareAtRate(int perSecond, int seconds)
{
    SerialControl comm;
    ExchangeTrace trace;
    QPlainTextEdit *box = makeBox();
    new TraceView(&trace, box);
    Module1::attach({ &comm, &trace });
    for (int i = 0; i < 500; ++i)
        Module1::TraceReception(QStringLiteral("BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T !\r\n"));
    QCoreApplication::processEvents();

    const qint64 total = qint64(perSecond) * seconds;
    qint64 sent = 0;
    QElapsedTimer clock;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    pace.setInterval(1);
    QObject::connect(&pace, &QTimer::timeout, &pace, [&] {
        const qint64 due = qMin(total, clock.nsecsElapsed() * perSecond / 1000000000);
        while (sent < due) {
            Module1::TraceReception(QStringLiteral("!"));
            ++sent;
        }
    });
    const double cpuBefore = cpuSeconds();
    clock.start();
    pace.start();
    while (sent < total)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double share = 100.0 * (cpuSeconds() - cpuBefore) / (clock.nsecsElapsed() / 1e9);
    Module1::detach();
    delete box;
    return share;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--paced-only"))) {
        std::fprintf(
            stderr, "trace   960 entries/s, share of a core %8.1f %%\n", cpuShareAtRate(960, 5));
        return 0;
    }
    perEntryIncremental(); // warm-up: fonts, layouts
    const double ours = perEntryIncremental();
    const double baseline = perEntryWholeText();
    const double share960 = cpuShareAtRate(960, 3);
    std::fprintf(stderr,
        "bench_trace: %s platform; per entry %.1f us, whole-text baseline %.1f us; "
        "960 entries/s in-process: %.1f %% of a core\n",
        qPrintable(QGuiApplication::platformName()), ours, baseline, share960);
    bench::row(QStringLiteral("trace: per entry at the ceiling"),
        QStringLiteral("%1 µs").arg(ours, 0, 'f', 1), QStringLiteral("≤ 50 µs"), ours <= 50);
    bench::row(QStringLiteral("trace: speed-up over whole-text replacement"),
        QStringLiteral("×%1 (baseline %2 µs)")
            .arg(baseline / ours, 0, 'f', 1)
            .arg(baseline, 0, 'f', 1),
        QStringLiteral("≥ ×20"), baseline / ours >= 20);
    return 0;
}
