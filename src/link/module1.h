#pragma once

#include <QString>
#include <QStringView>

class ExchangeTrace;
class SerialControl;

// The code module: the command under construction, the parity code and the receive buffer, and
// the routines that send a command, trace both directions and collect replies. It reaches the
// main window's serial control and trace through the handle the window gives it when it loads.
namespace Module1 {

extern QString Commande;
extern QString CodeParite;
extern QString TamponReception;

// A command with its carriage return must stay below 32767 characters, and so must a reply.
inline constexpr qsizetype maxCommandLength = 32765;
inline constexpr qsizetype maxReplyLength = 32766;
inline constexpr qsizetype separatorLength = 88;

struct Liaison
{
    SerialControl *MSComm1 = nullptr;
    ExchangeTrace *ZoneReceptionTrame = nullptr;
};

void attach(const Liaison &liaison);
void detach();
const Liaison &liaison();

enum class SendResult {
    Sent,
    NoPortOpen,  // traced, not written
    WriteFailed, // traced, the port refused the bytes
    TooLong,     // neither traced nor written
    NoWindow,    // no main window loaded
};

void PrefixeIdentification();
SendResult EnvoiCommande(const QString &commande);
void TraceEmission(const QString &ligne);
void TraceReception(const QString &reponse);
QString EchapperTexte(QStringView texte);

// The receive event's work: take what waits in the control, and trace a reply once its
// terminator is in the buffer.
void ReceptionCaracteres();

// What the operator is told when a command could not go out; empty when it was sent.
QString describe(SendResult result);

} // namespace Module1
