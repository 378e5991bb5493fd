#pragma once

#include "ui/forms.h"

#include <QWidget>

#include <chrono>
#include <memory>

namespace Ui {
class frmSplash;
}

class QKeyEvent;
class QListWidget;

// The window the program opens on: product, version, and the operator's choice of PC port.
// Key preview is on: a key that produces a character reaches Form_KeyPress before the control
// with the focus, so the list's selection is read as it was before the key.
class frmSplash : public QWidget
{
    Q_OBJECT

public:
    // The one start-up window, loaded on first touch.
    static frmSplash *form();
    static frmSplash *ifLoaded();

    ~frmSplash() override;

    void Form_Load();

    QListWidget *ChoixPort() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    static constexpr std::chrono::milliseconds portLookupDelay { 150 };

    friend class FormSlot<frmSplash>;
    frmSplash();

    void Form_KeyPress();
    void Frame1_Click();
    void keepOnePortSelected();
    void showPortDevices();

    static bool producesCharacter(const QKeyEvent &key);

    std::unique_ptr<Ui::frmSplash> ui;
    bool m_frame1Pressed = false;
};
