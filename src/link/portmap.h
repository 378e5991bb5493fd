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

    void map(int com, const QString &device) { m_devices.insert(com, device); }
    bool isMapped(int com) const { return m_devices.contains(com); }

    // Reads one "N=PATH" mapping into this map. On a malformed value or an N outside 1 to 5
    // nothing changes and *error says why, in French.
    bool parse(const QString &spec, QString *error);

private:
    QMap<int, QString> m_devices;
};
