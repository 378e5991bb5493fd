#pragma once

#include <QMap>
#include <QString>

// Which device each COM number opens. On Linux COMn is /dev/ttyS(n-1) unless the command
// line maps it elsewhere (a USB adapter, a pseudo-terminal); on Windows COMn is COMn.
class PortMap
{
public:
    static constexpr int firstPort = 1;
    static constexpr int lastPort = 5;

    QString device(int com) const;
    static QString defaultDevice(int com);

    // The device COMn is opened through: device(com) with its links resolved, so that a
    // /dev/serial/by-id name takes the lock file of the device it names, the one every other
    // program takes for it.
    QString openPath(int com) const { return resolve(device(com)); }
    // The path of the device a name stands for: a bare name is taken under /dev, as the serial
    // port does, and links are followed. A name that leads nowhere is returned as the serial port
    // would open it; existsAt() tells the two apart.
    static QString resolve(const QString &device);
    static bool existsAt(const QString &device);

    void map(int com, const QString &device) { m_devices.insert(com, device); }
    bool isMapped(int com) const { return m_devices.contains(com); }

    // Reads one "N=PATH" mapping into this map. On a malformed value or an N outside 1 to 5
    // nothing changes and *error says why, in French.
    bool parse(const QString &mapping, QString *error);

private:
    QMap<int, QString> m_devices;
};
