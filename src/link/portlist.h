#pragma once

#include "link/portmap.h"

#include <QList>
#include <QMap>
#include <QString>

// The serial ports of this computer as the system lists them, with the stable
// /dev/serial/by-id names that point at them, set against the COM numbers: what
// `tessaly --list-ports` prints and what the start-up window shows on each port number. A
// snapshot: ports plugged in later need a new scan.
class PortList
{
public:
    struct Port
    {
        QString device; // as the system names it: /dev/ttyUSB0
        QString manufacturer;
        QString description;
    };

    static QString systemByIdDirectory() { return QStringLiteral("/dev/serial/by-id"); }

    // The ports the system lists now, and the stable names of systemByIdDirectory().
    static PortList scan();
    // `ports` in any order; the stable names are the links found in `byIdDirectory`.
    PortList(const QList<Port> &ports, const QString &byIdDirectory);

    // The by-id name that leads to a device, or an empty string.
    QString stableName(const QString &device) const;

    // What COM `com` opens under `map`, for the operator: "COM3 : /dev/ttyS2",
    // "COM1 : /dev/ttyUSB0 (FTDI FT232R USB UART)", a link followed by where it leads, or
    // "(absent)" when nothing is there.
    QString describeCom(const PortMap &map, int com) const;

    // Every port, one a line, with its stable name, maker, product and the COM numbers that
    // open it (ports that only `map` knows of, such as pseudo-terminals, included), then COM1
    // to COM5 as describeCom() tells them.
    QString listing(const PortMap &map) const;

private:
    const Port *findListed(const QString &resolved) const;

    QList<Port> m_ports; // in natural order of device
    QMap<QString, QString> m_stableNames; // resolved device -> by-id name
};
