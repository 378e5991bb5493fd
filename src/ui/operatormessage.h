#pragma once

#include <QString>

#include <functional>

class QWidget;

// Tells the operator something went wrong and what to do: a modal message box, in French,
// titled "Tessaly", with a warning icon, over `parent`.
void tellOperator(QWidget *parent, const QString &text);

// Tests observe the messages instead of the box: while a sink is set, tellOperator hands it the
// text and shows nothing. An empty function restores the box.
void setOperatorMessageSink(std::function<void(const QString &)> sink);
