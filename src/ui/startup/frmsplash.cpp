#include "ui/startup/frmsplash.h"

#include "link/portlist.h"
#include "link/serialcontrol.h"
#include "ui/main/principale.h"
#include "ui/toolkit.h"
#include "ui_frmsplash.h"
#include "version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

namespace {
FormSlot<frmSplash> splash;
}

frmSplash *frmSplash::form()
{
    return splash.get();
}

frmSplash *frmSplash::ifLoaded()
{
    return splash.ifLoaded();
}

frmSplash::frmSplash()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint)
    , ui(std::make_unique<Ui::frmSplash>())
{
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setAttribute(Qt::WA_StyledBackground);

    toolkit::setUpForm(this);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    ui->Picture1->setFocus();
    qApp->installEventFilter(this);
    connect(ui->ChoixPort->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &frmSplash::keepOnePortSelected);
}

frmSplash::~frmSplash() = default;

QListWidget *frmSplash::ChoixPort() const
{
    return ui->ChoixPort;
}

void frmSplash::Form_Load()
{
    ui->lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                                .arg(TESSALY_VERSION_MAJOR)
                                .arg(TESSALY_VERSION_MINOR)
                                .arg(TESSALY_VERSION_PATCH));
    // Right-aligned and sized to its text, the version keeps its right edge, flush with the
    // maker's name below: it grows to the left and the frame never cuts it.
    const int right = ui->lblVersion->geometry().right();
    ui->lblVersion->adjustSize();
    ui->lblVersion->move(right + 1 - ui->lblVersion->width(), ui->lblVersion->y());

    for (int n = 1; n <= 5; ++n) {
        auto *item = new QListWidgetItem(QString::number(n), ui->ChoixPort);
        item->setData(Qt::AccessibleTextRole, QStringLiteral("Port COM%1 du PC").arg(n));
    }
    ui->ChoixPort->setCurrentRow(0);
    // Looking the machine's serial ports up takes longer than drawing the window: it is done
    // once the window is up, and again whenever a tool tip is asked for.
    QTimer::singleShot(portLookupDelay, this, &frmSplash::showPortDevices);
}

// Each number's tool tip names the device it opens, so the operator sees whether COM3 is the
// machine's /dev/ttyS2 or the USB adapter the device hangs on.
void frmSplash::showPortDevices()
{
    const PortList ports = PortList::scan();
    for (int row = 0; row < ui->ChoixPort->count(); ++row) {
        QListWidgetItem *item = ui->ChoixPort->item(row);
        const int com = item->text().toInt();
        const QString device = ports.describeCom(SerialControl::portMap(), com);
        item->setToolTip(device);
        item->setData(Qt::AccessibleDescriptionRole, device);
    }
}

// Once a port is chosen one stays chosen: a Ctrl+click or Ctrl+Space on it does not leave the
// list without a selection.
void frmSplash::keepOnePortSelected()
{
    if (ui->ChoixPort->selectedItems().isEmpty() && ui->ChoixPort->currentItem())
        ui->ChoixPort->currentItem()->setSelected(true);
}

void frmSplash::Form_KeyPress()
{
    const QList<QListWidgetItem *> selected = ui->ChoixPort->selectedItems();
    const QString choix = selected.isEmpty() ? QString() : selected.constFirst()->text();
    for (int n = 1; n <= 5; ++n) {
        if (choix == QString::number(n))
            Principale::form()->portOption(n)->setChecked(true);
    }
    close();
    Principale::form()->show();
}

void frmSplash::closeEvent(QCloseEvent *event)
{
    splash.forget(this);
    event->accept();
}

void frmSplash::Frame1_Click()
{
    Principale::form()->show();
}

bool frmSplash::producesCharacter(const QKeyEvent &key)
{
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Backspace:
    case Qt::Key_Space:
        return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
        return false;
    default:
        return !key.text().isEmpty();
    }
}

bool frmSplash::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress: {
        // Seen by the application before the control with the focus, so the window's handler
        // runs first and the control never sees the key.
        const auto *target = qobject_cast<QWidget *>(watched);
        if (target && target->window() == this && isVisible()
            && producesCharacter(*static_cast<QKeyEvent *>(event))) {
            Form_KeyPress();
            return true;
        }
        break;
    }
    case QEvent::ToolTip:
        // An adapter may have been plugged in or pulled out since the list was filled.
        if (watched == ui->ChoixPort->viewport())
            showPortDevices();
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease: {
        // A click on a control inside the frame is that control's, even when the control
        // passes the mouse on to the frame; only the frame's bare area is the frame's click.
        if (watched != ui->Frame1)
            break;
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        const bool bare = ui->Frame1->childAt(mouse->position().toPoint()) == nullptr;
        if (event->type() == QEvent::MouseButtonPress) {
            m_frame1Pressed = bare;
        } else if (m_frame1Pressed) {
            m_frame1Pressed = false;
            if (bare && ui->Frame1->rect().contains(mouse->position().toPoint()))
                Frame1_Click();
        }
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
