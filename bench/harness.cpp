#include "harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <xcb/damage.h>
#include <xcb/xcb.h>

extern char **environ;

namespace bench {

void note(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void fail(const char *format, ...)
{
    std::fputs("bench: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::exit(1);
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void sleepFor(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

bool Child::start(const QString &program, const QStringList &arguments, const Options &options)
{
    stop();
    std::vector<QByteArray> argStore { QFile::encodeName(program) };
    for (const QString &a : arguments)
        argStore.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStore;
    for (char **e = environ; *e; ++e) {
        const QByteArray entry(*e);
        const QByteArray name = entry.left(entry.indexOf('=') + 1);
        const bool replaced = std::any_of(options.environment.cbegin(), options.environment.cend(),
            [&](const QString &s) { return s.toLocal8Bit().startsWith(name); });
        if (!replaced)
            envStore.push_back(entry);
    }
    for (const QString &s : options.environment)
        envStore.push_back(s.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const auto openOut = [](const QString &path) {
        return path.isEmpty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                              : ::open(QFile::encodeName(path).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    };
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = openOut(options.stdoutFile);
    const int err = openOut(options.stderrFile);
    if (in < 0 || out < 0 || err < 0)
        fail("cannot open the output files of %s: %s", qPrintable(program), std::strerror(errno));

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (options.descriptor3 == 3)
            ::fcntl(3, F_SETFD, 0);
        else if (options.descriptor3 >= 0)
            ::dup2(options.descriptor3, 3);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in);
    ::close(out);
    ::close(err);
    if (pid < 0)
        return false;
    m_pid = pid;
    m_status = -1;
    return true;
}

bool Child::running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == 0)
        return true;
    m_status = r == m_pid ? status : -1;
    m_pid = -1;
    return false;
}

int Child::wait(std::chrono::milliseconds timeout)
{
    const auto start = Clock::now();
    while (running()) {
        if (Clock::now() - start >= timeout)
            return -1;
        sleepFor(2ms);
    }
    return m_status;
}

void Child::signal(int signal)
{
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

void Child::stop(std::chrono::milliseconds grace)
{
    if (!running())
        return;
    signal(SIGTERM);
    if (wait(grace) == -1 && running()) {
        signal(SIGKILL);
        wait(grace);
    }
}

int run(const QString &program, const QStringList &arguments, std::chrono::milliseconds timeout)
{
    QString path = program;
    if (!program.contains(QLatin1Char('/'))) {
        for (const QString &dir : qEnvironmentVariable("PATH").split(QLatin1Char(':'))) {
            const QFileInfo candidate(QDir(dir), program);
            if (candidate.isExecutable()) {
                path = candidate.filePath();
                break;
            }
        }
    }
    Child child;
    if (!child.start(path, arguments, {}))
        return -1;
    const int status = child.wait(timeout);
    if (status == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool haveProgram(const QString &name)
{
    for (const QString &dir : qEnvironmentVariable("PATH").split(QLatin1Char(':'))) {
        if (QFileInfo(QDir(dir), name).isExecutable())
            return true;
    }
    return false;
}

bool XServer::start()
{
    QString xvfb;
    for (const QString &dir : qEnvironmentVariable("PATH").split(QLatin1Char(':'))) {
        if (QFileInfo(QDir(dir), QStringLiteral("Xvfb")).isExecutable()) {
            xvfb = QDir(dir).filePath(QStringLiteral("Xvfb"));
            break;
        }
    }
    if (xvfb.isEmpty())
        return false;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    Child::Options options;
    options.descriptor3 = fds[1];
    const bool started = m_server.start(xvfb,
        { QStringLiteral("-displayfd"), QStringLiteral("3"), QStringLiteral("-screen"),
            QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
            QStringLiteral("tcp"), QStringLiteral("-noreset") },
        options);
    ::close(fds[1]);
    QByteArray number;
    pollfd p { fds[0], POLLIN, 0 };
    const auto start = Clock::now();
    while (started && !number.endsWith('\n') && msSince(start) < 10000) {
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[16];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, n);
    }
    ::close(fds[0]);
    if (!number.endsWith('\n'))
        return false;
    m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    qputenv("DISPLAY", m_display.toLocal8Bit());
    return true;
}

XWatch::~XWatch()
{
    if (m_connection)
        xcb_disconnect(m_connection);
}

bool XWatch::open(const QString &display)
{
    m_connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(m_connection))
        return false;
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    static const char name[] = "_NET_WM_PID";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, sizeof name - 1, name), nullptr);
    if (!atom)
        return false;
    m_pidAtom = atom->atom;
    std::free(atom);
    return true;
}

bool XWatch::watchMaps(bool drawing)
{
    if (drawing) {
        const xcb_query_extension_reply_t *damage
            = xcb_get_extension_data(m_connection, &xcb_damage_id);
        if (!damage || !damage->present)
            return false;
        xcb_damage_query_version_reply_t *version = xcb_damage_query_version_reply(m_connection,
            xcb_damage_query_version(m_connection, XCB_DAMAGE_MAJOR_VERSION,
                XCB_DAMAGE_MINOR_VERSION),
            nullptr);
        if (!version)
            return false;
        std::free(version);
        m_damageEvent = damage->first_event;
        m_drawing = true;
    }
    const quint32 mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(m_connection);
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection))
        std::free(event);
    return true;
}

void XWatch::takeEvents()
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
        const auto at = Clock::now();
        const quint8 type = event->response_type & 0x7f;
        if (type == XCB_MAP_NOTIFY) {
            m_mapped.append({ reinterpret_cast<xcb_map_notify_event_t *>(event)->window, at });
        } else if (type == XCB_CREATE_NOTIFY && m_drawing) {
            // Watched from its creation, before the program can draw into it. The damage
            // object goes with the window.
            const auto *created = reinterpret_cast<xcb_create_notify_event_t *>(event);
            m_drawn.remove(created->window); // an identifier a program that ended had used
            xcb_damage_create(m_connection, xcb_generate_id(m_connection), created->window,
                XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
            xcb_flush(m_connection);
        } else if (m_drawing && type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
            const auto *damage = reinterpret_cast<xcb_damage_notify_event_t *>(event);
            if (!m_drawn.contains(damage->drawable))
                m_drawn.insert(damage->drawable, at);
        }
        std::free(event);
    }
}

bool XWatch::waitForEvents(Clock::time_point start, std::chrono::milliseconds timeout)
{
    const int left = int(timeout.count() - msSince(start));
    if (left <= 0 || xcb_connection_has_error(m_connection))
        return false;
    pollfd p { xcb_get_file_descriptor(m_connection), POLLIN, 0 };
    ::poll(&p, 1, left);
    return true;
}

std::optional<XWatch::Window> XWatch::waitForMap(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto start = Clock::now();
    do {
        takeEvents();
        while (!m_mapped.isEmpty()) {
            const Mapped mapped = m_mapped.takeFirst();
            if (windowPid(mapped.window) == quint32(pid)) {
                std::optional<Window> w = geometry(mapped.window);
                if (w)
                    w->mappedAt = mapped.at;
                return w;
            }
        }
    } while (waitForEvents(start, timeout));
    return std::nullopt;
}

std::optional<Clock::time_point> XWatch::waitForDrawing(
    quint32 window, std::chrono::milliseconds timeout)
{
    const auto start = Clock::now();
    do {
        takeEvents();
        const auto drawn = m_drawn.constFind(window);
        if (drawn != m_drawn.constEnd())
            return *drawn;
    } while (waitForEvents(start, timeout));
    return std::nullopt;
}

quint32 XWatch::windowPid(quint32 window)
{
    xcb_get_property_reply_t *reply = xcb_get_property_reply(m_connection,
        xcb_get_property(m_connection, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    quint32 pid = 0;
    if (reply && xcb_get_property_value_length(reply) == 4)
        std::memcpy(&pid, xcb_get_property_value(reply), 4);
    std::free(reply);
    return pid;
}

std::optional<XWatch::Window> XWatch::geometry(quint32 window)
{
    xcb_get_geometry_reply_t *g
        = xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr);
    if (!g)
        return std::nullopt;
    Window w { window, g->x, g->y, g->width, g->height, {} };
    std::free(g);
    return w;
}

QList<XWatch::Window> XWatch::mappedWindows(pid_t pid)
{
    QList<Window> windows;
    xcb_query_tree_reply_t *tree
        = xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr);
    if (!tree)
        return windows;
    const xcb_window_t *children = xcb_query_tree_children(tree);
    const int count = xcb_query_tree_children_length(tree);
    for (int i = 0; i < count; ++i) {
        xcb_get_window_attributes_reply_t *a = xcb_get_window_attributes_reply(
            m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr);
        const bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(a);
        if (viewable && windowPid(children[i]) == quint32(pid)) {
            if (const std::optional<Window> w = geometry(children[i]))
                windows.append(*w);
        }
    }
    std::free(tree);
    return windows;
}

std::optional<XWatch::Window> XWatch::waitForWindow(
    pid_t pid, int width, int height, std::chrono::milliseconds timeout)
{
    const auto start = Clock::now();
    do {
        for (const Window &w : mappedWindows(pid)) {
            if (w.width == width && w.height == height)
                return w;
        }
        sleepFor(20ms);
    } while (msSince(start) < double(timeout.count()));
    return std::nullopt;
}

bool xdotool(const QStringList &arguments)
{
    return run(QStringLiteral("xdotool"), arguments) == 0;
}

qint64 cpuTicks(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // Fields after the command name, which may hold spaces: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return fields[11].toLongLong() + fields[12].toLongLong();
}

long ticksPerSecond()
{
    return ::sysconf(_SC_CLK_TCK);
}

qint64 residentKb(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong();
    }
    return 0;
}

double cpuMs(pid_t pid)
{
    // Every thread's time on a processor, in nanoseconds, from the scheduler's own count.
    double ns = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (file.open(QIODevice::ReadOnly))
            ns += file.readAll().split(' ').constFirst().toDouble();
    }
    return ns / 1e6;
}

qint64 monotonicMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Figures readFigures(const QString &path)
{
    Figures figures;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return figures;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            figures.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return figures;
}

qint64 figure(const Figures &figures, const QString &key)
{
    return figures.value(key).toLongLong();
}

double figureF(const Figures &figures, const QString &key)
{
    return figures.value(key).toDouble();
}

bool Simulator::start(const QString &program, const QStringList &arguments, const QString &workDir)
{
    const QString out = QDir(workDir).filePath(QStringLiteral("sim.out"));
    m_stderr = QDir(workDir).filePath(QStringLiteral("sim.err"));
    Child::Options options;
    options.stdoutFile = out;
    options.stderrFile = m_stderr;
    if (!m_child.start(program, arguments, options))
        return false;
    const auto start = Clock::now();
    while (msSince(start) < 10000 && m_child.running()) {
        QFile file(out);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray text = file.readAll();
            if (text.contains('\n')) {
                m_pty = QString::fromLocal8Bit(text.left(text.indexOf('\n')));
                return true;
            }
        }
        sleepFor(10ms);
    }
    return false;
}

QString Simulator::report() const
{
    QFile file(m_stderr);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed()
                                          : QString();
}

std::optional<qint64> Simulator::reported()
{
    static const QRegularExpression sent(QStringLiteral("(?:stream|flood) sent (\\d+)"));
    const QRegularExpressionMatch match = sent.match(report());
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toLongLong();
}

bool Tessaly::start(const QString &program, const QString &pty, const QString &workDir)
{
    m_figures = QDir(workDir).filePath(QStringLiteral("diagnostics"));
    m_stderr = QDir(workDir).filePath(QStringLiteral("tessaly.err"));
    Child::Options options;
    options.environment = { QStringLiteral("TESSALY_DIAGNOSTICS=") + m_figures,
        QStringLiteral("QT_QPA_PLATFORM=xcb") };
    if (qEnvironmentVariableIsSet("BENCH_TESSALY_ENV"))
        options.environment += qEnvironmentVariable("BENCH_TESSALY_ENV").split(QLatin1Char(' '));
    options.stderrFile = m_stderr;
    return m_child.start(
        program, { QStringLiteral("--port"), QStringLiteral("1=") + pty }, options);
}

QString Tessaly::errorOutput() const
{
    QFile file(m_stderr);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed()
                                          : QString();
}

std::optional<XWatch::Window> Tessaly::openMainWindow(XWatch &x)
{
    const std::optional<XWatch::Window> splash
        = x.waitForWindow(pid(), splashWidth, splashHeight, 20000ms);
    if (!splash)
        return std::nullopt;
    const QString id = QString::number(splash->id);
    if (!xdotool({ QStringLiteral("windowfocus"), QStringLiteral("--sync"), id })
        || !xdotool({ QStringLiteral("key"), QStringLiteral("Return") }))
        return std::nullopt;
    return x.waitForWindow(pid(), mainWidth, mainHeight, 20000ms);
}

XWatch::Window startOnSimulator(XWatch &x, Simulator &sim, Tessaly &program,
    const QStringList &simArguments, const QString &workDir)
{
    if (!sim.start(binary(QStringLiteral("tessaly-sim")), simArguments, workDir))
        fail("tessaly-sim did not start: %s", qPrintable(sim.report()));
    if (!program.start(binary(QStringLiteral("tessaly")), sim.pty(), workDir))
        fail("tessaly did not start");
    const std::optional<XWatch::Window> main = program.openMainWindow(x);
    if (!main)
        fail("the main window did not open: %s", qPrintable(program.errorOutput()));
    return *main;
}

bool Tessaly::clickPortRead(const XWatch::Window &mainWindow)
{
    // No --sync: xdotool would wait for ever for a move to where the pointer already is.
    return xdotool({ QStringLiteral("mousemove"), QStringLiteral("--window"),
        QString::number(mainWindow.id), QString::number(portReadX), QString::number(portReadY),
        QStringLiteral("click"), QStringLiteral("1") });
}

QString binary(const QString &name)
{
    const QString benchDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    return QDir(benchDir).filePath(QStringLiteral("../bin/") + name);
}

double median(QList<double> values)
{
    return percentile(std::move(values), 50);
}

double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype rank = qsizetype(std::ceil(p / 100.0 * double(values.size())));
    return values[std::clamp<qsizetype>(rank - 1, 0, values.size() - 1)];
}

void startDisplay(Display &display, const char *who, bool xdotool)
{
    if (!haveProgram(QStringLiteral("Xvfb")))
        fail("%s needs Xvfb: install the xvfb package (make bench does)", who);
    if (xdotool && !haveProgram(QStringLiteral("xdotool")))
        fail("%s drives the real program with xdotool: install the xdotool package (make bench "
             "does)",
            who);
    if (!display.server.start())
        fail("Xvfb did not start");
    if (!display.x.open(display.server.display()))
        fail("cannot connect to the display %s", qPrintable(display.server.display()));
}

} // namespace bench
