#include "link/portlist.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>

namespace {

QStringView digitsAt(const QString &text, qsizetype from)
{
    qsizetype end = from;
    while (end < text.size() && text.at(end).isDigit())
        ++end;
    QStringView digits = QStringView(text).sliced(from, end - from);
    while (digits.size() > 1 && digits.front() == QLatin1Char('0'))
        digits = digits.sliced(1);
    return digits;
}

// ttyS2 before ttyS10: runs of digits compare as numbers.
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const QStringView x = digitsAt(a, i);
            const QStringView y = digitsAt(b, j);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (const int order = x.compare(y))
                return order < 0;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
        } else {
            if (a.at(i) != b.at(j))
                return a.at(i) < b.at(j);
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;
}

QString makerAndProduct(const PortList::Port &port)
{
    const QString maker = port.manufacturer.trimmed();
    const QString product = port.description.trimmed();
    if (maker.isEmpty() || product.startsWith(maker, Qt::CaseInsensitive))
        return product;
    if (product.isEmpty())
        return maker;
    return maker + QLatin1Char(' ') + product;
}

} // namespace

PortList PortList::scan()
{
    QList<Port> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
#ifdef Q_OS_WIN
        const QString device = info.portName();
#else
        const QString device = info.systemLocation();
#endif
        ports.append({ device, info.manufacturer(), info.description() });
    }
    return PortList(ports, systemByIdDirectory());
}

PortList::PortList(const QList<Port> &ports, const QString &byIdDirectory)
    : m_ports(ports)
{
    std::stable_sort(m_ports.begin(), m_ports.end(),
        [](const Port &a, const Port &b) { return naturalLess(a.device, b.device); });
    if (byIdDirectory.isEmpty())
        return;
    // Several names may lead to one device (one per interface of some adapters); the first in
    // name order is the one shown, so the listing does not change from run to run.
    const QFileInfoList links
        = QDir(byIdDirectory)
              .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink())
            continue;
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty() && !m_stableNames.contains(target))
            m_stableNames.insert(target, link.absoluteFilePath());
    }
}

QString PortList::stableName(const QString &device) const
{
    return m_stableNames.value(PortMap::resolve(device));
}

const PortList::Port *PortList::findListed(const QString &resolved) const
{
    const auto found = std::find_if(m_ports.cbegin(), m_ports.cend(),
        [&resolved](const Port &port) { return PortMap::resolve(port.device) == resolved; });
    return found == m_ports.cend() ? nullptr : &*found;
}

QString PortList::describeCom(const PortMap &map, int com) const
{
    const QString device = map.device(com);
    const QString resolved = PortMap::resolve(device);
    const Port *listed = findListed(resolved);
    QString text = QStringLiteral("COM%1 : %2").arg(QString::number(com), device);
    if (!listed && !PortMap::existsAt(device))
        return text + QStringLiteral(" (absent)");
    if (resolved != device)
        text += QStringLiteral(" → ") + resolved;
    const QString identity = listed ? makerAndProduct(*listed) : QString();
    if (!identity.isEmpty())
        text += QStringLiteral(" (%1)").arg(identity);
    return text;
}

QString PortList::listing(const PortMap &map) const
{
    struct Entry
    {
        Port port;
        QString resolved;
        bool listed;
    };
    QList<Entry> entries;
    for (const Port &port : m_ports)
        entries.append({ port, PortMap::resolve(port.device), true });
    // A pseudo-terminal or any other device given with --port is not among the system's serial
    // ports, yet the program opens it.
    for (int com = PortMap::firstPort; com <= PortMap::lastPort; ++com) {
        if (!map.isMapped(com) || !PortMap::existsAt(map.device(com)))
            continue;
        const QString resolved = PortMap::resolve(map.device(com));
        const bool known = std::any_of(entries.cbegin(), entries.cend(),
            [&resolved](const Entry &entry) { return entry.resolved == resolved; });
        if (!known)
            entries.append({ Port { resolved, {}, {} }, resolved, false });
    }
    std::stable_sort(entries.begin(), entries.end(),
        [](const Entry &a, const Entry &b) { return naturalLess(a.port.device, b.port.device); });

    const QString separator = QStringLiteral(" ; ");
    QStringList lines { QStringLiteral("Ports série de cet ordinateur :") };
    for (const Entry &entry : std::as_const(entries)) {
        QStringList coms;
        for (int com = PortMap::firstPort; com <= PortMap::lastPort; ++com) {
            if (PortMap::resolve(map.device(com)) == entry.resolved)
                coms << QStringLiteral("COM%1").arg(com);
        }
        QStringList fields { entry.port.device,
            coms.isEmpty() ? QStringLiteral("aucun port COM") : coms.join(QStringLiteral(", ")) };
        const QString stable = m_stableNames.value(entry.resolved);
        if (!stable.isEmpty())
            fields << QStringLiteral("nom stable : ") + stable;
        if (!entry.port.manufacturer.trimmed().isEmpty())
            fields << QStringLiteral("fabricant : ") + entry.port.manufacturer.trimmed();
        if (!entry.port.description.trimmed().isEmpty())
            fields << QStringLiteral("produit : ") + entry.port.description.trimmed();
        if (!entry.listed)
            fields << QStringLiteral("associé par --port");
        lines << QStringLiteral("  ") + fields.join(separator);
    }
    if (entries.isEmpty())
        lines << QStringLiteral("  aucun port série trouvé");

    lines << QStringLiteral("Ports COM :");
    for (int com = PortMap::firstPort; com <= PortMap::lastPort; ++com)
        lines << QStringLiteral("  ") + describeCom(map, com);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
