#include "commands/commands.h"

namespace commands {

QString identificationPrefix()
{
    return QStringLiteral("ID KESTREL TOWER ");
}

QString portConfigRead()
{
    return QStringLiteral("SETU");
}

QString stRead()
{
    return QStringLiteral("ST");
}

QString portClause(const QString &key, const QString &port, const QString &value)
{
    return QLatin1Char(' ') + key + port + QLatin1Char('=') + value;
}

QString portConfigWrite(const QString &port, const PortClauses &clauses)
{
    QString command = identificationPrefix() + QStringLiteral("SETU");
    const auto add = [&](const char *key, const std::optional<QString> &value) {
        if (value)
            command += portClause(QLatin1String(key), port, *value);
    };
    add("BD", clauses.speed);
    add("PA", clauses.parity);
    add("LG", clauses.dataBits);
    add("ST", clauses.stopBits);
    add("PR", clauses.protection);
    add("PROT", clauses.protocol);
    return command;
}

QString rgsAddressWrite(const QString &address)
{
    return identificationPrefix() + QStringLiteral("ST") + QStringLiteral(" COD=f")
        + address.left(2) + QStringLiteral("dd.") + address.mid(2, 1);
}

QString padRgsAddress(const QString &typed)
{
    switch (typed.size()) {
    case 2:
        return QLatin1Char('0') + typed;
    case 1:
        return QStringLiteral("00") + typed;
    case 0:
        return QStringLiteral("000");
    default:
        return typed;
    }
}

} // namespace commands
