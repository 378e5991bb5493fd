#include "support/pty.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty()
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
        m_master = -1;
        return;
    }
    termios t {};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slaveKeep = slave;
    m_path = QString::fromLocal8Bit(name);
}

Pty::~Pty()
{
    closeMaster();
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
}

bool Pty::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd p { m_master, POLLOUT, 0 };
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += n;
    }
    return done == bytes.size();
}

QByteArray Pty::readAvailable()
{
    QByteArray out;
    char buf[4096];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

QByteArray Pty::read(int atLeast, int timeoutMs)
{
    QByteArray out;
    QDeadlineTimer deadline(timeoutMs);
    while (m_master >= 0 && out.size() < atLeast && !deadline.hasExpired()) {
        // The program under test lives in this process: let its event loop flush its writes.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p { m_master, POLLIN, 0 };
        if (::poll(&p, 1, 5) > 0)
            out += readAvailable();
    }
    return out;
}

void Pty::closeMaster()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

int Pty::slaveSpeed() const
{
    termios t {};
    if (m_slaveKeep < 0 || ::tcgetattr(m_slaveKeep, &t) != 0)
        return -1;
    switch (::cfgetospeed(&t)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    default: return 0;
    }
}
