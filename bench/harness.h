#pragma once

// What the benchmark and soak programs share: child processes, a private X display, a look at
// its windows, and figures from /proc and from the program's diagnostics file.

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "table.h"

#include <chrono>
#include <optional>

#include <sys/types.h>

struct xcb_connection_t;

namespace bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Progress and details go to standard error; standard output carries only table rows.
void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

double msSince(Clock::time_point start);
void sleepFor(std::chrono::milliseconds duration);

// A program started with fork and exec. It dies with the bench (PR_SET_PDEATHSIG) and is
// stopped with SIGTERM, then SIGKILL, when the object goes.
class Child
{
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }

    struct Options
    {
        QStringList environment; // "NAME=value", added to the bench's own
        QString stdoutFile; // empty: /dev/null
        QString stderrFile; // empty: /dev/null
        int descriptor3 = -1; // handed to the child as its descriptor 3
    };

    bool start(const QString &program, const QStringList &arguments, const Options &options);
    pid_t pid() const { return m_pid; }
    bool running();
    // Waits for the end; the exit status, or -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    void signal(int signal);
    void stop(std::chrono::milliseconds grace = 3000ms);

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// Runs a program to its end (at most timeout) and returns its exit status, -1 if it did not end.
int run(const QString &program, const QStringList &arguments,
    std::chrono::milliseconds timeout = 10000ms);

bool haveProgram(const QString &name);

// A private Xvfb server. display() is ":N"; the bench's own DISPLAY is set to it.
class XServer
{
public:
    bool start();
    QString display() const { return m_display; }
    pid_t pid() const { return m_server.pid(); }

private:
    Child m_server;
    QString m_display;
};

// A client connection to the display, to see which windows a process has mapped.
class XWatch
{
public:
    struct Window
    {
        quint32 id = 0;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        Clock::time_point mappedAt {}; // set by waitForMap
    };

    XWatch() = default;
    XWatch(const XWatch &) = delete;
    XWatch &operator=(const XWatch &) = delete;
    ~XWatch();

    bool open(const QString &display);
    // From now on every top-level window mapped is reported to waitForMap(), and, with drawing,
    // the first time anything is drawn into each new top-level window to waitForDrawing()
    // (the X DAMAGE extension; false when the server lacks it).
    bool watchMaps(bool drawing = false);
    // The first top-level window of pid mapped within timeout, noticed as its MapNotify arrives.
    std::optional<Window> waitForMap(pid_t pid, std::chrono::milliseconds timeout);
    // When the program first drew into window (one waitForMap returned), as the server reports
    // it; nothing if it draws nothing within timeout.
    std::optional<Clock::time_point> waitForDrawing(
        quint32 window, std::chrono::milliseconds timeout);
    // The mapped top-level windows of pid, as they stand.
    QList<Window> mappedWindows(pid_t pid);
    // Polls until pid has a mapped window of that size.
    std::optional<Window> waitForWindow(
        pid_t pid, int width, int height, std::chrono::milliseconds timeout);

private:
    quint32 windowPid(quint32 window);
    std::optional<Window> geometry(quint32 window);
    // Takes the events that have arrived: maps are queued for waitForMap, first drawings kept
    // for waitForDrawing, new top-level windows watched for drawing.
    void takeEvents();
    bool waitForEvents(Clock::time_point start, std::chrono::milliseconds timeout);

    struct Mapped
    {
        quint32 window;
        Clock::time_point at;
    };
    QList<Mapped> m_mapped;
    QMap<quint32, Clock::time_point> m_drawn;
    bool m_drawing = false;
    quint8 m_damageEvent = 0;

    xcb_connection_t *m_connection = nullptr;
    quint32 m_root = 0;
    quint32 m_pidAtom = 0;
};

// A private Xvfb with a connection watching it, for a benchmark named `who`; ends the benchmark
// saying what to install when Xvfb (or, with xdotool set, xdotool) is missing or fails.
struct Display
{
    XServer server;
    XWatch x;
};
void startDisplay(Display &display, const char *who, bool xdotool);

// xdotool, run to its end: false when it failed.
bool xdotool(const QStringList &arguments);

// Ticks (1/CLK_TCK s) of user and system time the process has used, all threads together.
qint64 cpuTicks(pid_t pid);
long ticksPerSecond();
// Milliseconds on a processor so far, all threads together, to the scheduler's precision.
double cpuMs(pid_t pid);
// Resident memory in kB, 0 when the process is gone.
qint64 residentKb(pid_t pid);
// Monotonic milliseconds, the clock the diagnostics file's clock_ms comes from.
qint64 monotonicMs();

// The key=value figures of a diagnostics file; empty when it cannot be read yet.
using Figures = QMap<QString, QString>;
Figures readFigures(const QString &path);
qint64 figure(const Figures &figures, const QString &key);
double figureF(const Figures &figures, const QString &key);

// tessaly-sim on a pty: its path, and the report it writes on standard error at the end of a
// stream or flood.
class Simulator
{
public:
    bool start(const QString &program, const QStringList &arguments, const QString &workDir);
    QString pty() const { return m_pty; }
    // The count in "stream sent N replies" or "flood sent N bytes", once written.
    std::optional<qint64> reported();
    QString report() const;
    Child &child() { return m_child; }

private:
    Child m_child;
    QString m_pty;
    QString m_stderr;
};

// The program under test, started on the display with COM1 mapped to a pty and its
// diagnostics file in workDir. BENCH_TESSALY_ENV may add "NAME=value" pairs, separated by spaces,
// to its environment, to compare settings (QT_NO_GLIB=1, say).
class Tessaly
{
public:
    bool start(const QString &program, const QString &pty, const QString &workDir);
    Child &child() { return m_child; }
    pid_t pid() const { return m_child.pid(); }
    Figures figures() const { return readFigures(m_figures); }
    QString diagnosticsPath() const { return m_figures; }
    QString errorOutput() const;

    // Presses Enter on the start-up window, then waits for the main window. nullopt on failure.
    std::optional<XWatch::Window> openMainWindow(XWatch &x);
    // Clicks "Lecture de la config. des ports" and waits until the command is in the trace.
    bool clickPortRead(const XWatch::Window &mainWindow);

    // The main window's client area and the read button's place in it, as its form sets them.
    static constexpr int mainWidth = 608;
    static constexpr int mainHeight = 412;
    static constexpr int splashWidth = 492;
    static constexpr int splashHeight = 283;
    static constexpr int portReadX = 368 + 201 / 2;
    static constexpr int portReadY = 128 + 17 / 2;

private:
    Child m_child;
    QString m_figures;
    QString m_stderr;
};

// tessaly-sim started in workDir with simArguments, then tessaly on its pty, taken through its
// start-up window to its main window, which is returned. Ends the benchmark saying what failed.
XWatch::Window startOnSimulator(XWatch &x, Simulator &sim, Tessaly &program,
    const QStringList &simArguments, const QString &workDir);

// Where the built programs are: beside the bench directory, in bin/.
QString binary(const QString &name);

double median(QList<double> values);
double percentile(QList<double> values, double p);

} // namespace bench
