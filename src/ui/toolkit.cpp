#include "ui/toolkit.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace toolkit {

namespace {

const QString msSansSerif = u"MS Sans Serif"_s;
const QString arial = u"Arial"_s;
const QString terminal = u"Terminal"_s;

QString quoted(const QString &face)
{
    return u'"' + face + u'"';
}

void mapStyleSheetFaces(QWidget *form)
{
    QString sheet = form->styleSheet();
    for (const QString &face : { msSansSerif, arial, terminal })
        sheet.replace(quoted(face), quoted(faceFor(face)));
    if (sheet != form->styleSheet())
        form->setStyleSheet(sheet);
}

void mapWidgetFaces(QWidget *form)
{
    QList<QWidget *> widgets = form->findChildren<QWidget *>();
    widgets.prepend(form);
    for (QWidget *widget : std::as_const(widgets)) {
        if (!widget->testAttribute(Qt::WA_SetFont))
            continue;
        QFont font = widget->font();
        const QString face = faceFor(font.family());
        if (face == font.family())
            continue;
        font.setFamilies({ face });
        widget->setFont(font);
    }
}

void sizeLabelsToText(QWidget *form)
{
    const auto labels = form->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        if (label->property("autoSize").toBool())
            label->adjustSize();
    }
}

} // namespace

QString sansFace()
{
    static const QString face
        = QFontDatabase::hasFamily(u"Liberation Sans"_s) ? u"Liberation Sans"_s : u"DejaVu Sans"_s;
    return face;
}

QString fixedFace()
{
    return u"DejaVu Sans Mono"_s;
}

QString faceFor(const QString &face)
{
    if (face == msSansSerif || face == arial)
        return sansFace();
    if (face == terminal)
        return fixedFace();
    return face;
}

void setUpForm(QWidget *form)
{
    mapStyleSheetFaces(form);
    mapWidgetFaces(form);
    sizeLabelsToText(form);
}

void setCaptionColour(QWidget *container, const QColor &colour)
{
    // A style sheet stops the palette passing from a widget to its children: set each one.
    QList<QWidget *> widgets = container->findChildren<QWidget *>();
    widgets.prepend(container);
    for (QWidget *widget : std::as_const(widgets)) {
        QPalette palette = widget->palette();
        palette.setColor(QPalette::WindowText, colour);
        widget->setPalette(palette);
    }
}

void disableFrame(QWidget *frame)
{
    const auto controls = frame->findChildren<QWidget *>();
    for (QWidget *control : controls) {
        control->setFocusPolicy(Qt::NoFocus);
        control->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
}

void deselectOptions(QWidget *frame)
{
    const auto options = frame->findChildren<QRadioButton *>();
    for (QRadioButton *option : options) {
        if (!option->isChecked())
            continue;
        // An exclusive group keeps one option selected; lift that for the one change.
        if (QButtonGroup *group = option->group()) {
            const bool exclusive = group->exclusive();
            group->setExclusive(false);
            option->setChecked(false);
            group->setExclusive(exclusive);
        } else {
            const bool exclusive = option->autoExclusive();
            option->setAutoExclusive(false);
            option->setChecked(false);
            option->setAutoExclusive(exclusive);
        }
    }
}

void keepTypedText(QComboBox *box)
{
    // The completer would finish "t" as the item "T", and Enter would then take the item's case.
    box->setCompleter(nullptr);
    box->setInsertPolicy(QComboBox::NoInsert);
}

FocusLoss::FocusLoss(QWidget *control)
    : QObject(control)
{
    control->installEventFilter(this);
}

FocusLoss *FocusLoss::watch(QWidget *control)
{
    return new FocusLoss(control);
}

bool FocusLoss::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
            Q_EMIT lostFocus();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace toolkit
