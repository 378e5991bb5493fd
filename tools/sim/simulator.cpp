#include "simulator.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr qsizetype maxCommandLength = 1 << 16;
constexpr qsizetype floodBlock = 1 << 14;
constexpr std::chrono::milliseconds retryAfterError { 100 };

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

} // namespace

Simulator::Simulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_random(options.seed)
{
}

Simulator::~Simulator()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
}

bool Simulator::open(QString *error)
{
    int slave = -1;
    if (::openpty(&m_master, &slave, nullptr, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    termios t {};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    ::tcsetattr(slave, TCSANOW, &t);
    setNonBlocking(m_master);
    ::fcntl(slave, F_SETFD, ::fcntl(slave, F_GETFD) | FD_CLOEXEC);
    m_slaveKeep = slave;
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));

    m_readable = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_writable = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_readable, &QSocketNotifier::activated, this, &Simulator::readCommands);
    connect(m_writable, &QSocketNotifier::activated, this, [this] {
        m_writable->setEnabled(false);
        pump();
    });
    return true;
}

void Simulator::readCommands()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            // No slave open (EIO) should not happen while we keep one; never spin on it.
            m_readable->setEnabled(false);
            QTimer::singleShot(retryAfterError, this, [this] { m_readable->setEnabled(true); });
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = char(buf[i] & 0x7f); // the line carries 7 data bits
            if (c == '\r') {
                handleCommand(m_command);
                m_command.clear();
            } else if (c != '\n' && m_command.size() <= maxCommandLength) {
                m_command.append(c);
            }
        }
    }
}

void Simulator::handleCommand(const QByteArray &command)
{
    if (m_special)
        return;
    if (!m_specialDone && (m_options.streamRate > 0 || m_options.floodBytes > 0)) {
        m_special = true;
        if (m_options.streamRate > 0) {
            startStream();
        } else {
            m_untilTerminator = 0;
            m_clock.start();
            pump();
        }
        return;
    }
    const QByteArray reply
        = command.size() > maxCommandLength ? QByteArray("?\r\n") : m_device.reply(command);
    if (m_options.delayMs > 0)
        QTimer::singleShot(m_options.delayMs, this, [this, reply] { sendReply(reply); });
    else
        sendReply(reply);
}

void Simulator::sendReply(const QByteArray &reply)
{
    QByteArray bytes;
    for (int i = 0; i < m_options.noise; ++i) {
        char c;
        do
            c = char(m_random.bounded(0x20, 0x7f));
        while (c == '!' || c == '?');
        bytes.append(c);
    }
    bytes += reply;
    const qsizetype chunk = m_options.chunk > 0 ? m_options.chunk : bytes.size();
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        const bool last = at + chunk >= bytes.size();
        enqueue({ bytes.mid(at, chunk), Kind::Reply, last ? -1 : m_options.chunkPauseMs });
    }
}

void Simulator::enqueue(Segment segment)
{
    m_out.push_back(std::move(segment));
    pump();
}

// Writes the queue in order, each segment in writes of its own, until the pty pushes back
// (EAGAIN: wait for the master to be writable) or a segment asks for a pause.
void Simulator::pump()
{
    while (!m_paused && !m_writable->isEnabled()) {
        if (m_out.empty() && !refillFlood())
            return;
        Segment &s = m_out.front();
        const ssize_t n = ::write(
            m_master, s.bytes.constData() + s.written, size_t(s.bytes.size() - s.written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                m_writable->setEnabled(true);
            else
                resumeAfter(int(retryAfterError.count()));
            return;
        }
        s.written += n;
        if (s.written < s.bytes.size())
            continue;
        const Segment done = std::move(s);
        m_out.pop_front();
        segmentWritten(done);
        if (done.pauseAfterMs >= 0) {
            resumeAfter(done.pauseAfterMs);
            return;
        }
    }
}

void Simulator::resumeAfter(int ms)
{
    m_paused = true;
    QTimer::singleShot(ms, Qt::PreciseTimer, this, [this] {
        m_paused = false;
        pump();
    });
}

void Simulator::segmentWritten(const Segment &segment)
{
    if (segment.kind == Kind::Stream && ++m_streamSent == m_streamTotal) {
        std::fprintf(stderr, "tessaly-sim: stream sent %lld replies in %.3f s\n",
            static_cast<long long>(m_streamSent), double(m_clock.nsecsElapsed()) / 1e9);
        m_special = false;
        m_specialDone = true;
    } else if (segment.kind == Kind::Flood) {
        m_floodSent += segment.bytes.size();
        if (m_floodSent == m_options.floodBytes) {
            std::fprintf(stderr, "tessaly-sim: flood sent %lld bytes, %lld terminators in %.3f s\n",
                static_cast<long long>(m_floodSent), static_cast<long long>(m_floodTerminators),
                double(m_clock.nsecsElapsed()) / 1e9);
            m_special = false;
            m_specialDone = true;
        }
    }
}

// Reply k is due at start + k / rate: absolute deadlines, so timer lateness never accumulates.
void Simulator::startStream()
{
    m_streamTotal = std::llround(m_options.streamRate * m_options.streamSeconds);
    m_streamQueued = m_streamSent = 0;
    m_streamTimer = new QTimer(this);
    m_streamTimer->setSingleShot(true);
    m_streamTimer->setTimerType(Qt::PreciseTimer);
    connect(m_streamTimer, &QTimer::timeout, this, &Simulator::streamTick);
    m_clock.start();
    if (m_streamTotal == 0) {
        std::fprintf(stderr, "tessaly-sim: stream sent 0 replies in 0.000 s\n");
        m_special = false;
        m_specialDone = true;
        return;
    }
    streamTick();
}

void Simulator::streamTick()
{
    const double elapsed = double(m_clock.nsecsElapsed()) / 1e9;
    const qint64 due
        = std::min(m_streamTotal, qint64(std::floor(elapsed * m_options.streamRate)) + 1);
    while (m_streamQueued < due) {
        ++m_streamQueued;
        m_out.push_back({ QByteArray("!"), Kind::Stream });
    }
    pump();
    if (m_streamQueued < m_streamTotal) {
        const double next = double(m_streamQueued) / m_options.streamRate;
        m_streamTimer->start(std::max(0, int(std::ceil((next - elapsed) * 1000))));
    }
}

// The flood is made a block at a time as the pty drains, never held whole in memory.
bool Simulator::refillFlood()
{
    if (!m_special || m_options.floodBytes <= 0 || m_floodQueued >= m_options.floodBytes)
        return false;
    const qint64 every = m_options.terminatorEvery;
    const qsizetype size
        = qsizetype(std::min<qint64>(floodBlock, m_options.floodBytes - m_floodQueued));
    QByteArray block(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        if (every > 0 && m_untilTerminator == 0)
            m_untilTerminator = qint64(m_random.bounded(quint64(2 * every - 1))) + 1;
        if (every > 0 && --m_untilTerminator == 0) {
            block[i] = '!';
            ++m_floodTerminators;
            continue;
        }
        char c;
        do
            c = char(m_random.bounded(256));
        while ((c & 0x7f) == '!' || (c & 0x7f) == '?');
        block[i] = c;
    }
    m_floodQueued += size;
    m_out.push_back({ block, Kind::Flood });
    return true;
}
