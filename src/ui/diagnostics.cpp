#include "ui/diagnostics.h"

#include "link/exchangetrace.h"
#include "link/module1.h"
#include "link/serialcontrol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace Diagnostics {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds tickInterval = 10ms;
constexpr std::chrono::milliseconds writeInterval = 500ms;

int signalPipe[2] = { -1, -1 };

void onSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

class Recorder : public QObject
{
public:
    explicit Recorder(const QString &path);

    void watch(SerialControl &comm, ExchangeTrace &trace, QPlainTextEdit *box);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void tick();
    void write();
    void onSignal();
    void onReceive();
    void onTextAppended(const QString &entry);
    void onTextReset();

    QString m_path;
    QTimer m_ticker;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    qint64 m_lastWriteNs = 0;
    qint64 m_ticks = 0;
    qint64 m_longestGapNs = 0;
    qint64 m_longestGapAtMs = 0;
    qint64 m_periodLongestGapNs = 0;

    QPointer<SerialControl> m_comm;
    QPointer<ExchangeTrace> m_trace;
    QPointer<QWidget> m_viewport;
    qint64 m_entriesIn = 0;
    qint64 m_entriesOut = 0;
    qint64 m_receiveEvents = 0;
    qint64 m_receivedChars = 0;
    qint64 m_paints = 0;
    bool m_writeFailed = false;
};

Recorder *recorder = nullptr;

Recorder::Recorder(const QString &path)
    : QObject(QCoreApplication::instance())
    , m_path(path)
{
    m_clock.start();
    m_ticker.setTimerType(Qt::PreciseTimer);
    m_ticker.setInterval(tickInterval);
    connect(&m_ticker, &QTimer::timeout, this, &Recorder::tick);
    m_ticker.start();
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &Recorder::write);

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &Recorder::onSignal);
        struct sigaction action
        {
        };
        action.sa_handler = Diagnostics::onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
    write();
}

void Recorder::watch(SerialControl &comm, ExchangeTrace &trace, QPlainTextEdit *box)
{
    if (m_comm)
        disconnect(m_comm, nullptr, this, nullptr);
    if (m_trace)
        disconnect(m_trace, nullptr, this, nullptr);
    if (m_viewport)
        m_viewport->removeEventFilter(this);
    m_comm = &comm;
    m_trace = &trace;
    m_viewport = box->viewport();
    connect(&comm, &SerialControl::OnComm, this, &Recorder::onReceive);
    connect(&trace, &ExchangeTrace::textAppended, this, &Recorder::onTextAppended);
    connect(&trace, &ExchangeTrace::textReset, this, &Recorder::onTextReset);
    m_viewport->installEventFilter(this);
}

bool Recorder::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_viewport && event->type() == QEvent::Paint)
        ++m_paints;
    return QObject::eventFilter(watched, event);
}

void Recorder::tick()
{
    const qint64 now = m_clock.nsecsElapsed();
    if (m_ticks++ > 0) {
        const qint64 gap = now - m_lastTickNs;
        m_periodLongestGapNs = qMax(m_periodLongestGapNs, gap);
        if (gap > m_longestGapNs) {
            m_longestGapNs = gap;
            m_longestGapAtMs = m_clock.msecsSinceReference() + now / 1000000;
        }
    }
    m_lastTickNs = now;
    if (now - m_lastWriteNs >= std::chrono::nanoseconds(writeInterval).count())
        write();
}

void Recorder::onReceive()
{
    ++m_receiveEvents;
    if (m_comm)
        m_receivedChars += m_comm->InBufferCount();
}

void Recorder::onTextAppended(const QString &entry)
{
    if (entry.startsWith(QLatin1StringView("R: ")))
        ++m_entriesIn;
    else if (entry.startsWith(QLatin1StringView("Q: ")))
        ++m_entriesOut;
}

// An entry that alone passes the trace's limit replaces the whole text with its end: a reply
// ends with the separator line, a command with its escaped carriage return.
void Recorder::onTextReset()
{
    if (!m_trace)
        return;
    const QString &text = m_trace->text();
    if (text.endsWith(QLatin1StringView("-\r\n")))
        ++m_entriesIn;
    else if (text.endsWith(QLatin1StringView("$13\r\n")))
        ++m_entriesOut;
}

void Recorder::onSignal()
{
    char byte = 0;
    int signal = 0;
    while (::read(signalPipe[0], &byte, 1) > 0)
        signal = byte;
    write();
    if (signal != 0)
        ::raise(signal); // the handler was reset: the signal now ends the program as usual
}

void Recorder::write()
{
    const qint64 now = m_clock.nsecsElapsed();
    const qint64 pending = Module1::TamponReception.size();
    const auto ms = [](qint64 ns) { return QString::number(double(ns) / 1e6, 'f', 3); };
    const QString text = QStringLiteral("pid=%1\nclock_ms=%2\nuptime_ms=%3\n")
                             .arg(QCoreApplication::applicationPid())
                             .arg(m_clock.msecsSinceReference() + now / 1000000)
                             .arg(now / 1000000)
        + QStringLiteral("entries_in=%1\nentries_out=%2\nreceive_events=%3\n")
              .arg(m_entriesIn)
              .arg(m_entriesOut)
              .arg(m_receiveEvents)
        + QStringLiteral("received_chars=%1\npending_chars=%2\ntraced_chars=%3\n")
              .arg(m_receivedChars)
              .arg(pending)
              .arg(m_receivedChars - pending)
        + QStringLiteral("trace_length=%1\ntrace_paints=%2\nticks=%3\n")
              .arg(m_trace ? m_trace->length() : 0)
              .arg(m_paints)
              .arg(m_ticks)
        + QStringLiteral("longest_gap_ms=%1\nlongest_gap_at_ms=%2\nperiod_longest_gap_ms=%3\n")
              .arg(ms(m_longestGapNs))
              .arg(m_longestGapAtMs)
              .arg(ms(m_periodLongestGapNs));
    m_periodLongestGapNs = 0;
    m_lastWriteNs = now;

    // Written beside and renamed over, so a reader never sees half a file; not synced to disk,
    // which would cost the program more than the figures are worth.
    QFile file(m_path + QStringLiteral(".new"));
    const QByteArray bytes = text.toUtf8();
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
    file.close();
    QString error = file.errorString();
    if (written
        && ::rename(QFile::encodeName(file.fileName()).constData(),
               QFile::encodeName(m_path).constData())
            != 0) {
        written = false;
        error = QString::fromLocal8Bit(std::strerror(errno));
    }
    if (!written && !m_writeFailed) {
        m_writeFailed = true;
        std::fprintf(stderr, "tessaly : impossible d'écrire les diagnostics dans %s : %s\n",
            qPrintable(m_path), qPrintable(error));
    }
}

} // namespace

void start()
{
    if (recorder || !qEnvironmentVariableIsSet(variable))
        return;
    const QString path = qEnvironmentVariable(variable);
    if (!path.isEmpty())
        recorder = new Recorder(path);
}

void watch(SerialControl &comm, ExchangeTrace &trace, QPlainTextEdit *box)
{
    if (recorder)
        recorder->watch(comm, trace, box);
}

} // namespace Diagnostics
