#include "ui/startup/commandline.h"

#include "version.h"

namespace {
QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}
} // namespace

CommandLine::CommandLine()
    : m_help({ QStringLiteral("h"), QStringLiteral("help") },
        QStringLiteral("Affiche cette aide et s'arrête."))
    , m_version({ QStringLiteral("v"), QStringLiteral("version") },
          QStringLiteral("Affiche la version et s'arrête."))
    , m_port(QStringLiteral("port"),
          QStringLiteral("Associe le port COM N (1 à 5) au périphérique CHEMIN, par exemple "
                         "1=/dev/ttyUSB0. Répétable. Sans elle, COM1 est %1, COM2 est %2, et "
                         "ainsi de suite.")
              .arg(PortMap::defaultDevice(1), PortMap::defaultDevice(2)),
          QStringLiteral("N=CHEMIN"))
    , m_listPorts(QStringLiteral("list-ports"),
          QStringLiteral("Affiche les ports série de cet ordinateur (chemin, nom stable "
                         "/dev/serial/by-id, fabricant, produit) et le périphérique qu'ouvre "
                         "chaque port COM, --port compris, puis s'arrête."))
{
    m_parser.setApplicationDescription(
        QStringLiteral("Paramétrage des coffrets KSL 4820/xx par liaison série."));
    m_parser.addOption(m_help);
    m_parser.addOption(m_version);
    m_parser.addOption(m_port);
    m_parser.addOption(m_listPorts);
}

QString CommandLine::versionText()
{
    return QStringLiteral("Tessaly " TESSALY_VERSION_STRING);
}

CommandLine::Outcome CommandLine::fail(const QString &error)
{
    m_error = error;
    m_ports = PortMap();
    return Outcome::Error;
}

QString CommandLine::describeParserError(const QStringList &arguments) const
{
    const QStringList unknown = m_parser.unknownOptionNames();
    if (!unknown.isEmpty())
        return QStringLiteral("option inconnue : %1.").arg(dashed(unknown.constFirst()));
    if (!arguments.isEmpty() && arguments.constLast() == QLatin1String("--port"))
        return QStringLiteral("l'option --port attend une correspondance N=CHEMIN, par exemple "
                              "1=/dev/ttyUSB0.");
    return QStringLiteral("ligne de commande incorrecte (%1)").arg(m_parser.errorText());
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    m_ports = PortMap();
    m_error.clear();
    if (!m_parser.parse(arguments))
        return fail(describeParserError(arguments));
    if (m_parser.isSet(m_help))
        return Outcome::Help;
    if (m_parser.isSet(m_version))
        return Outcome::Version;
    if (!m_parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("argument inattendu : « %1 ».")
                        .arg(m_parser.positionalArguments().constFirst()));

    PortMap ports;
    for (const QString &value : m_parser.values(m_port)) {
        PortMap one;
        QString error;
        if (!one.parse(value, &error))
            return fail(error);
        for (int com = PortMap::firstPort; com <= PortMap::lastPort; ++com) {
            if (!one.isMapped(com))
                continue;
            if (ports.isMapped(com))
                return fail(QStringLiteral("COM%1 est associé deux fois, à %2 et à %3.")
                                .arg(com)
                                .arg(ports.device(com), one.device(com)));
            ports.map(com, one.device(com));
        }
    }
    m_ports = ports;
    return m_parser.isSet(m_listPorts) ? Outcome::ListPorts : Outcome::Run;
}
