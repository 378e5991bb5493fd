#pragma once

#include "link/portmap.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The program's command line: `--port N=PATH` (repeatable) maps COM N to a device;
// `--list-ports` lists the serial ports under that mapping, and `--help` and `--version` answer;
// those three stop the program. Errors are told in French.
class CommandLine
{
public:
    enum class Outcome { Run, Help, Version, ListPorts, Error };

    CommandLine();

    // arguments as QCoreApplication::arguments() gives them, the program's name first.
    Outcome parse(const QStringList &arguments);

    const PortMap &portMap() const { return m_ports; }
    QString errorText() const { return m_error; }
    QString helpText() const { return m_parser.helpText(); }
    static QString versionText();

    // The exit status of a program stopped by a command-line error.
    static constexpr int usageExitStatus = 2;

private:
    Outcome fail(const QString &error);
    QString describeParserError(const QStringList &arguments) const;

    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_port;
    QCommandLineOption m_listPorts;
    PortMap m_ports;
    QString m_error;
};
