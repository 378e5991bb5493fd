#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

// The windows' life: a form is created and loaded the first time anything of it is touched,
// exists at most once, and is unloaded and destroyed when it closes; a later touch loads it
// afresh with its defaults. The program ends when no form is loaded any more, not when the last
// window is hidden: a loaded form that is not shown keeps it running.
class Forms : public QObject
{
    Q_OBJECT

public:
    static Forms &instance();

    int loadedCount() const { return m_loaded; }

    // Called by a form once its load handler has run, and when it is destroyed.
    void registerLoaded(QWidget *form);

Q_SIGNALS:
    // No form is loaded any more. Emitted from the event loop, so a handler that closed its
    // own window has run to its end first.
    void noFormLoaded();

private:
    void formDestroyed();
    int m_loaded = 0;
};

// The one instance of form F: created and loaded on first touch, forgotten when destroyed.
// F provides a default constructor and a Form_Load() handler, and sets WA_DeleteOnClose.
template<class F>
class FormSlot
{
public:
    F *get()
    {
        if (!m_form) {
            F *form = new F;
            m_form = form;
            form->setAttribute(Qt::WA_DeleteOnClose);
            form->Form_Load();
            Forms::instance().registerLoaded(form);
        }
        return m_form.data();
    }
    bool isLoaded() const { return !m_form.isNull(); }
    F *ifLoaded() const { return m_form.data(); }

    // The form has run its unload handler and is closing: from now on a touch loads a new one,
    // even before this one is destroyed at the next turn of the event loop.
    void forget(const F *form)
    {
        if (m_form == form)
            m_form.clear();
    }

private:
    QPointer<F> m_form;
};
