#pragma once

#include <QObject>
#include <QString>

// The exchange trace: every line sent and received, as the operator reads it. Lines end with
// CR LF. The text never stays above maxLength characters: the oldest whole lines make room for
// a new entry, so the newest entry is always kept (an entry longer than the limit on its own
// keeps its last maxLength characters).
class ExchangeTrace : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype maxLength = 65533;

    explicit ExchangeTrace(QObject *parent = nullptr) : QObject(parent) { }

    const QString &text() const { return m_text; }
    qsizetype length() const { return m_text.size(); }
    // Where the caret stands: always the end, after every entry.
    qsizetype caretPosition() const { return m_text.size(); }
    qsizetype entryCount() const { return m_entries; }

    // Appends one entry: one or more lines, each ended by CR LF.
    void append(const QString &entry);
    void clear();

Q_SIGNALS:
    // In the order they happen to the text: lines dropped from the front, text added at the end,
    // or the whole text replaced (when an entry alone passes the limit, or on clear).
    void linesRemoved(qsizetype lines);
    void textAppended(const QString &added);
    void textReset();

private:
    QString m_text;
    qsizetype m_entries = 0;
};
