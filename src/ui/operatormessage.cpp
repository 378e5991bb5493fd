#include "ui/operatormessage.h"

#include <QMessageBox>

using namespace Qt::StringLiterals;

namespace {

std::function<void(const QString &)> &sink()
{
    static std::function<void(const QString &)> instance;
    return instance;
}

} // namespace

void tellOperator(QWidget *parent, const QString &text)
{
    if (sink()) {
        sink()(text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, u"Tessaly"_s, text, QMessageBox::Ok, parent);
    box.exec();
}

void setOperatorMessageSink(std::function<void(const QString &)> newSink)
{
    sink() = std::move(newSink);
}
