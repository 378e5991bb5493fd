#pragma once

#include <QString>

#include <optional>

// The text of every command the program sends to a KSL 4820/xx device. Pure functions: the
// carriage return that ends a line on the wire is added by the link when sending.
namespace commands {

// "ID " and the 14-character identification string; opens the two write commands.
QString identificationPrefix();

QString portConfigRead();
QString stRead();

// One optional value per clause; an absent clause is not written. Values go in as given.
struct PortClauses
{
    std::optional<QString> speed;      // BD
    std::optional<QString> parity;     // PA, the one-letter code
    std::optional<QString> dataBits;   // LG
    std::optional<QString> stopBits;   // ST
    std::optional<QString> protection; // PR
    std::optional<QString> protocol;   // PROT
};

// One clause as written into a port-configuration write: " BD1=9600".
QString portClause(const QString &key, const QString &port, const QString &value);

QString portConfigWrite(const QString &port, const PortClauses &clauses);

// The address must hold at least three characters; characters past the third are not sent.
QString rgsAddressWrite(const QString &address);

// The operator's address padded with leading zeros to three characters; three or more are
// left as typed.
QString padRgsAddress(const QString &typed);

} // namespace commands
