#include "link/module1.h"

#include "commands/commands.h"
#include "link/codepage.h"
#include "link/exchangetrace.h"
#include "link/serialcontrol.h"

#include <algorithm>

namespace Module1 {

QString Commande;
QString CodeParite;
QString TamponReception;

namespace {

Liaison handle;

const QLatin1StringView lineEnd("\r\n");

void appendToTrace(const QString &entry)
{
    if (handle.ZoneReceptionTrame)
        handle.ZoneReceptionTrame->append(entry);
}

} // namespace

void attach(const Liaison &liaison)
{
    handle = liaison;
}

void detach()
{
    handle = {};
}

const Liaison &liaison()
{
    return handle;
}

void PrefixeIdentification()
{
    Commande = commands::identificationPrefix();
}

SendResult EnvoiCommande(const QString &commande)
{
    if (!handle.MSComm1 || !handle.ZoneReceptionTrame)
        return SendResult::NoWindow;
    if (commande.size() > maxCommandLength)
        return SendResult::TooLong;

    const QString ligne = commande + QLatin1Char('\r');
    TraceEmission(ligne);
    if (!handle.MSComm1->PortOpen())
        return SendResult::NoPortOpen;
    return handle.MSComm1->Output(codepage::toBytes(ligne)) ? SendResult::Sent
                                                             : SendResult::WriteFailed;
}

QString EchapperTexte(QStringView texte)
{
    // The codes as the characters go out: one byte per character, and one "?" for a character
    // the code page cannot hold, even one written with two UTF-16 units.
    const QByteArray bytes = codepage::toBytes(texte);
    QString escaped;
    escaped.reserve(bytes.size() + bytes.size() / 4);
    for (const char b : bytes) {
        const int code = static_cast<unsigned char>(b);
        if (code < 31 || code > 122) {
            escaped += QLatin1Char('$');
            escaped += QString::number(code);
        } else {
            escaped += QLatin1Char(char(code));
        }
    }
    return escaped;
}

void TraceEmission(const QString &ligne)
{
    appendToTrace(QLatin1StringView("Q: ") + EchapperTexte(ligne) + lineEnd);
}

void TraceReception(const QString &reponse)
{
    static const QString separator = QString(separatorLength, QLatin1Char('-')) + lineEnd;
    appendToTrace(QLatin1StringView("R: ") + EchapperTexte(reponse) + lineEnd + separator);
}

void ReceptionCaracteres()
{
    SerialControl *comm = handle.MSComm1;
    if (!comm || comm->InBufferCount() == 0)
        return;
    const QString incoming = comm->Input();

    const auto isTerminator = [](QChar c) {
        return c == QLatin1Char('!') || c == QLatin1Char('?');
    };
    // The buffer held no terminator before this event, so only the new characters need a look.
    // Within the length limit an event hands over at most one reply, whole, with whatever came
    // behind its terminator. A reply that reaches the limit is shown as it stands rather than
    // grow past it, and the characters after it start the next one: nothing is lost.
    QStringView rest(incoming);
    while (!rest.isEmpty()) {
        const qsizetype room = maxReplyLength - TamponReception.size();
        const QStringView piece = rest.left(room);
        rest = rest.mid(piece.size());
        TamponReception += piece;
        if (std::any_of(piece.cbegin(), piece.cend(), isTerminator)
            || TamponReception.size() >= maxReplyLength) {
            TraceReception(TamponReception);
            TamponReception.clear();
        }
    }
}

QString describe(SendResult result)
{
    switch (result) {
    case SendResult::Sent:
        return {};
    case SendResult::NoPortOpen:
        return QStringLiteral("Aucun port COM du PC n'est ouvert : la commande figure dans la "
                              "zone d'échange mais n'a pas été envoyée. Choisissez un port de "
                              "com dans la fenêtre de démarrage (relancez le programme si elle "
                              "est fermée).");
    case SendResult::WriteFailed:
        return QStringLiteral("La commande n'a pas pu être écrite sur le port COM%1 : elle "
                              "figure dans la zone d'échange mais n'a pas été envoyée.")
            .arg(handle.MSComm1 ? handle.MSComm1->CommPort() : 0);
    case SendResult::TooLong:
        return QStringLiteral("Commande trop longue (%1 caractères au plus) : elle n'a été ni "
                              "envoyée ni inscrite dans la zone d'échange. Raccourcissez le "
                              "texte saisi.")
            .arg(maxCommandLength);
    case SendResult::NoWindow:
        return QStringLiteral("La fenêtre principale n'est pas chargée : la commande n'a pas "
                              "été envoyée.");
    }
    return {};
}

} // namespace Module1
