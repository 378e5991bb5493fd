#include "commands/commands.h"
#include "link/codepage.h"
#include "link/module1.h"

#include <QTest>

using commands::PortClauses;

class tst_Commands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void builders_data();
    void builders();
    void rgsAddress_data();
    void rgsAddress();
    void escape_data();
    void escape();
    void codePage_data();
    void codePage();
};

void tst_Commands::builders_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");

    const QString id = QStringLiteral("ID KESTREL TOWER ");
    QTest::newRow("configuration read") << commands::portConfigRead() << "SETU";
    QTest::newRow("ST read") << commands::stRead() << "ST";
    QTest::newRow("prefix") << commands::identificationPrefix() << id;
    QTest::newRow("no clause") << commands::portConfigWrite("1", {}) << id + "SETU";

    PortClauses only;
    only.speed = "9600";
    QTest::newRow("BD alone") << commands::portConfigWrite("1", only) << id + "SETU BD1=9600";
    only = {};
    only.parity = "I";
    QTest::newRow("PA alone") << commands::portConfigWrite("2", only) << id + "SETU PA2=I";
    only = {};
    only.dataBits = "8";
    QTest::newRow("LG alone") << commands::portConfigWrite("3", only) << id + "SETU LG3=8";
    only = {};
    only.stopBits = "2";
    QTest::newRow("ST alone") << commands::portConfigWrite("1", only) << id + "SETU ST1=2";
    only = {};
    only.protection = "N";
    QTest::newRow("PR alone") << commands::portConfigWrite("2", only) << id + "SETU PR2=N";
    only = {};
    only.protocol = "M";
    QTest::newRow("PROT alone") << commands::portConfigWrite("2", only) << id + "SETU PROT2=M";

    const PortClauses all { "9600", "P", "7", "1", "O", "T" };
    QTest::newRow("all six, defaults")
        << commands::portConfigWrite("1", all) << id + "SETU BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T";

    PortClauses typed;
    typed.protection = " o ";
    typed.protocol = "X9 é{";
    QTest::newRow("typed text unchanged")
        << commands::portConfigWrite("3", typed) << id + "SETU PR3= o  PROT3=X9 é{";
}

void tst_Commands::builders()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);
    QCOMPARE(command, expected);
}

void tst_Commands::rgsAddress_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("padded");
    QTest::addColumn<QString>("command");

    QTest::newRow("empty") << "" << "000" << "ID KESTREL TOWER ST COD=f00dd.0";
    QTest::newRow("one") << "5" << "005" << "ID KESTREL TOWER ST COD=f00dd.5";
    QTest::newRow("seven") << "7" << "007" << "ID KESTREL TOWER ST COD=f00dd.7";
    QTest::newRow("two letters") << "ab" << "0ab" << "ID KESTREL TOWER ST COD=f0add.b";
    QTest::newRow("three") << "123" << "123" << "ID KESTREL TOWER ST COD=f12dd.3";
    QTest::newRow("four, fourth dropped") << "1234" << "1234" << "ID KESTREL TOWER ST COD=f12dd.3";
}

void tst_Commands::rgsAddress()
{
    QFETCH(QString, typed);
    QFETCH(QString, padded);
    QFETCH(QString, command);
    QCOMPARE(commands::padRgsAddress(typed), padded);
    QCOMPARE(commands::rgsAddressWrite(padded), command);
}

void tst_Commands::escape_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");

    QTest::newRow("NUL") << QString(QChar(0)) << "$0";
    QTest::newRow("line feed") << "\n" << "$10";
    QTest::newRow("carriage return") << "SETU\r" << "SETU$13";
    QTest::newRow("code 30") << QString(QChar(30)) << "$30";
    QTest::newRow("code 31 raw") << QString(QChar(31)) << QString(QChar(31));
    QTest::newRow("z raw") << "z" << "z";
    QTest::newRow("brace") << "{" << "$123";
    QTest::newRow("tilde") << "a~b" << "a$126b";
    QTest::newRow("e acute") << "é" << "$233";
    QTest::newRow("euro, code 128") << "€" << "$128";
    QTest::newRow("dollar itself") << "$13" << "$13";
    QTest::newRow("outside the code page") << "Ω" << "?";
    QTest::newRow("outside the BMP, one ?") << QString::fromUtf8("a\U0001F600b") << "a?b";
    QTest::newRow("empty") << "" << "";
}

void tst_Commands::escape()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(Module1::EchapperTexte(text), escaped);
}

void tst_Commands::codePage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ascii") << "SETU\r" << QByteArray("SETU\r");
    QTest::newRow("latin") << "é" << QByteArray("\xe9");
    QTest::newRow("euro") << "€" << QByteArray("\x80");
    QTest::newRow("not encodable") << "aΩb" << QByteArray("a?b");
    QTest::newRow("outside the BMP, one ?") << QString::fromUtf8("a\U0001F600b") << QByteArray("a?b");
}

void tst_Commands::codePage()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(codepage::toBytes(text), bytes);

    // Every byte survives the way in and back out, the code page's undefined ones included.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    QCOMPARE(codepage::toBytes(codepage::toText(all)), all);
}

QTEST_APPLESS_MAIN(tst_Commands)
#include "tst_commands.moc"
