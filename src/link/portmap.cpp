#include "link/portmap.h"

#include <QDir>
#include <QFileInfo>

namespace {
QString systemLocation(const QString &device)
{
#ifdef Q_OS_UNIX
    if (!device.isEmpty() && !QDir::isAbsolutePath(device))
        return QStringLiteral("/dev/") + device;
#endif
    return device;
}
} // namespace

QString PortMap::defaultDevice(int com)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(com);
#else
    return QStringLiteral("/dev/ttyS%1").arg(com - 1);
#endif
}

QString PortMap::device(int com) const
{
    return m_devices.value(com, defaultDevice(com));
}

QString PortMap::resolve(const QString &device)
{
    const QString location = systemLocation(device);
#ifdef Q_OS_UNIX
    const QString real = QFileInfo(location).canonicalFilePath();
    if (!real.isEmpty())
        return real;
#endif
    return location;
}

bool PortMap::existsAt(const QString &device)
{
#ifdef Q_OS_UNIX
    return !QFileInfo(systemLocation(device)).canonicalFilePath().isEmpty();
#else
    Q_UNUSED(device);
    return false;
#endif
}

bool PortMap::parse(const QString &mapping, QString *error)
{
    const qsizetype eq = mapping.indexOf(QLatin1Char('='));
    bool ok = false;
    const int com = eq > 0 ? mapping.left(eq).toInt(&ok) : 0;
    const QString path = eq > 0 ? mapping.mid(eq + 1) : QString();
    if (!ok || path.isEmpty()) {
        if (error)
            *error = QStringLiteral("« %1 » : la correspondance attendue est N=CHEMIN, "
                                    "par exemple 1=/dev/ttyUSB0.")
                         .arg(mapping);
        return false;
    }
    if (com < firstPort || com > lastPort) {
        if (error)
            *error = QStringLiteral("« %1 » : le numéro de port COM doit être compris entre %2 "
                                    "et %3.")
                         .arg(mapping)
                         .arg(firstPort)
                         .arg(lastPort);
        return false;
    }
    map(com, path);
    return true;
}
