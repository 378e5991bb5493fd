#include "ui/forms.h"

Forms &Forms::instance()
{
    static Forms forms;
    return forms;
}

void Forms::registerLoaded(QWidget *form)
{
    ++m_loaded;
    connect(form, &QObject::destroyed, this, &Forms::formDestroyed);
}

void Forms::formDestroyed()
{
    if (--m_loaded > 0)
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_loaded == 0)
                Q_EMIT noFormLoaded();
        },
        Qt::QueuedConnection);
}
