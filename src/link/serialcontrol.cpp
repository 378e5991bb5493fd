#include "link/serialcontrol.h"

#include "link/codepage.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

PortMap &sharedPortMap()
{
    static PortMap map;
    return map;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

#ifdef Q_OS_UNIX
// Serial programs (minicom, cu, anything using lockdev) mark a line they hold with a UUCP lock
// file: "LCK.." and the device's name under /dev, holding the holder's process number as text.
// QSerialPort honours only locks in its own format and deletes any other as stale, so the
// lock is looked at here first, under the name given and under the device a link leads to.
bool heldByLockFile(const QString &device)
{
    static const char *const directories[] = { "/var/lock", "/etc/locks", "/var/spool/locks",
        "/var/spool/uucp", "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock" };
    QStringList names;
    for (QString path : { device, QFileInfo(device).canonicalFilePath() }) {
        if (path.startsWith(QLatin1String("/dev/")))
            path.remove(0, 5);
        if (!path.isEmpty())
            names << QLatin1String("LCK..") + path.replace(QLatin1Char('/'), QLatin1Char('_'));
    }
    names.removeDuplicates();
    for (const char *directory : directories) {
        for (const QString &name : std::as_const(names)) {
            QFile lock(QLatin1String(directory) + QLatin1Char('/') + name);
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = lock.readLine(64).trimmed();
            qsizetype digits = 0;
            while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
                ++digits;
            bool ok = false;
            const qlonglong pid = line.left(digits).toLongLong(&ok);
            if (ok && pid > 0 && pid <= INT_MAX && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
                return true;
        }
    }
    return false;
}
#endif

} // namespace

SerialControl::SerialControl(QObject *parent)
    : QObject(parent)
{
    m_port.setReadBufferSize(0);
    connect(&m_port, &QSerialPort::readyRead, this, &SerialControl::readIncoming);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::handleError);
}

SerialControl::~SerialControl()
{
    // Nothing may reach this half-destroyed object while the port closes behind it.
    disconnect(&m_port, nullptr, this, nullptr);
    if (m_port.isOpen())
        m_port.close();
}

void SerialControl::setPortMap(const PortMap &map)
{
    sharedPortMap() = map;
}

const PortMap &SerialControl::portMap()
{
    return sharedPortMap();
}

bool SerialControl::setCommPort(int n)
{
    if (PortOpen() || n < PortMap::firstPort || n > PortMap::lastPort)
        return false;
    m_commPort = n;
    return true;
}

bool SerialControl::PortOpen() const
{
    return m_port.isOpen();
}

QString SerialControl::devicePath() const
{
    return portMap().device(m_commPort);
}

bool SerialControl::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        return true;
    }
    if (PortOpen())
        return true;

    m_failure = OpenFailure {};
    m_input.clear();
    m_marks.reset();
    m_opening = true;
    // Through the resolved device, so the lock file is the one other programs take for it.
    m_port.setPortName(portMap().openPath(m_commPort));
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setParity(QSerialPort::EvenParity);
    m_port.setDataBits(QSerialPort::Data7);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
#ifdef Q_OS_UNIX
    if (QFileInfo::exists(devicePath()) && heldByLockFile(devicePath())) {
        m_failure = { OpenFailure::Kind::Busy, m_commPort, devicePath(), systemReason(EBUSY), {} };
        m_opening = false;
        return false;
    }
#endif
    if (!m_port.open(QIODevice::ReadWrite)) {
        classifyOpenFailure(m_port.error());
        m_port.clearError();
        m_opening = false;
        return false;
    }
#ifdef Q_OS_UNIX
    // picocom and others hold a line with flock(); holding it ourselves keeps them off it too.
    if (::flock(int(m_port.handle()), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        m_port.close();
        m_port.clearError();
        m_failure = { OpenFailure::Kind::Busy, m_commPort, devicePath(), systemReason(EBUSY), {} };
        m_opening = false;
        return false;
    }
#endif
    // A pseudo-terminal has no modem lines: both calls fail there, harmlessly.
    m_port.setDataTerminalReady(true);
    m_port.setRequestToSend(false);
    enableParityMarking();
    m_port.clearError();
    m_opening = false;
    return true;
}

void SerialControl::closePort()
{
    if (!m_port.isOpen() || m_closing)
        return;
    // Closing a line that has already gone reports errors of its own; they are not news.
    m_closing = true;
    m_port.close();
    m_port.clearError();
    m_closing = false;
}

void SerialControl::enableParityMarking()
{
#ifdef Q_OS_UNIX
    // Qt turns input parity checking off even for even parity. With INPCK and PARMRK the
    // driver marks a character received with a parity error, and ParityMarkDecoder makes it
    // the "?" the program expects.
    const int fd = int(m_port.handle());
    termios t {};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0)
        return;
    t.c_iflag |= INPCK | PARMRK;
    t.c_iflag &= ~(IGNPAR | ISTRIP);
    ::tcsetattr(fd, TCSANOW, &t);
#endif
}

bool SerialControl::Output(const QByteArray &bytes)
{
    if (!PortOpen())
        return false;
    const qint64 written = m_port.write(bytes);
    return written == bytes.size() && PortOpen();
}

QString SerialControl::Input()
{
    const QString text = codepage::toText(m_input);
    m_input.clear();
    return text;
}

void SerialControl::readIncoming()
{
    takeIncoming(m_port.readAll());
}

void SerialControl::takeIncoming(QByteArrayView raw)
{
    if (raw.isEmpty())
        return;
    const QByteArray bytes = m_marks.feed(raw);
    if (bytes.isEmpty())
        return; // only the start of a marked sequence; the rest comes with the next read
    m_input += bytes;
    Q_EMIT OnComm();
}

void SerialControl::handleError(QSerialPort::SerialPortError error)
{
    if (m_opening || m_closing || !m_port.isOpen())
        return;
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        break;
    default:
        // Modem lines on a pseudo-terminal, timeouts and the like leave the line usable.
        return;
    }
    // The device is gone: a hung-up descriptor stays readable for ever, so the port is closed
    // here, before the event loop turns again. A ReadError is a read that found the end of the
    // line (a hang-up); Qt's text for it is whatever errno held before, so it is not repeated.
    const QString reason
        = error == QSerialPort::ReadError ? systemReason(EIO) : m_port.errorString();
    closePort();
    Q_EMIT portLost(m_commPort, devicePath(), reason);
}

void SerialControl::classifyOpenFailure(QSerialPort::SerialPortError error)
{
    m_failure.com = m_commPort;
    m_failure.device = devicePath();
    m_failure.reason = m_port.errorString();
    using Kind = OpenFailure::Kind;
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(m_failure.device);
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0) {
        // A device that cannot even be looked at (a closed directory on the way) has no owning
        // group to name: naming one would send the operator to the wrong group.
        const int statError = errno;
        m_failure.kind = statError == ENOENT ? Kind::NotFound : Kind::Other;
        if (statError != ENOENT || error != QSerialPort::DeviceNotFoundError)
            m_failure.reason = systemReason(statError);
        return;
    }
    if (error != QSerialPort::PermissionError && error != QSerialPort::DeviceNotFoundError) {
        m_failure.kind = Kind::Other;
        return;
    }
    // Qt says PermissionError for a refused access, a busy device and a held lock file alike.
    if (::access(path.constData(), R_OK | W_OK) != 0) {
        m_failure.kind = Kind::PermissionDenied;
        m_failure.reason = systemReason(EACCES);
        if (const group *g = ::getgrgid(st.st_gid))
            m_failure.group = QString::fromLocal8Bit(g->gr_name);
        else
            m_failure.group = QString::number(st.st_gid);
        return;
    }
    m_failure.kind = Kind::Busy;
#else
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        m_failure.kind = Kind::NotFound;
        break;
    case QSerialPort::PermissionError:
        m_failure.kind = Kind::Busy;
        break;
    default:
        m_failure.kind = Kind::Other;
        break;
    }
#endif
}

QString SerialControl::describe(const OpenFailure &failure)
{
    using Kind = OpenFailure::Kind;
    if (failure.kind == Kind::None)
        return QString();
    const QString head = QStringLiteral("Impossible d'ouvrir le port COM%1 (%2) : ")
                             .arg(failure.com)
                             .arg(failure.device);
    switch (failure.kind) {
    case Kind::NotFound:
        return head
            + QStringLiteral("le périphérique n'existe pas (%1). Vérifiez le câble ou "
                             "l'adaptateur USB, ou choisissez un autre port.")
                  .arg(failure.reason);
    case Kind::PermissionDenied:
        return head
            + QStringLiteral("accès refusé. Votre compte doit appartenir au groupe « %1 » "
                             "(propriétaire du périphérique) : ajoutez-le avec "
                             "« sudo adduser $USER %1 » puis reconnectez-vous.")
                  .arg(failure.group.isEmpty() ? QStringLiteral("dialout") : failure.group);
    case Kind::Busy:
        return head
            + QStringLiteral("le port est déjà utilisé par un autre programme. Fermez ce "
                             "programme puis réessayez.");
    case Kind::Other:
    case Kind::None:
        break;
    }
    // Most often a COM number left on its default /dev/ttyS device, with no port behind it,
    // while the line is on a USB adapter.
    return head + failure.reason
        + QStringLiteral(". Ce n'est peut-être pas un port série présent sur ce PC : "
                         "« tessaly --list-ports » montre ceux qui le sont, et l'option --port "
                         "associe un numéro COM au bon périphérique.");
}

qint32 SerialControl::baudRate() const
{
    return m_port.baudRate();
}

QSerialPort::Parity SerialControl::parity() const
{
    return m_port.parity();
}

QSerialPort::DataBits SerialControl::dataBits() const
{
    return m_port.dataBits();
}

QSerialPort::StopBits SerialControl::stopBits() const
{
    return m_port.stopBits();
}

QSerialPort::FlowControl SerialControl::flowControl() const
{
    return m_port.flowControl();
}
