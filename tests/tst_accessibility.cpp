#include "ui/forms.h"
#include "ui/main/principale.h"
#include "ui/startup/frmsplash.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>

#include <cstdlib>

namespace {

QWidget *form(const QString &name)
{
    if (name == QLatin1String("Principale"))
        return Principale::form();
    return frmSplash::form();
}

// The controls the form's file lays out, not the parts Qt builds inside them (scroll bars,
// viewports, a combo's line edit), which Qt names for the screen reader itself.
QList<QWidget *> controlsOf(const QWidget *window)
{
    QList<QWidget *> controls;
    const QList<QWidget *> children = window->findChildren<QWidget *>();
    for (QWidget *child : children) {
        const QString name = child->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_")))
            controls << child;
    }
    return controls;
}

bool takesInput(const QWidget *control)
{
    return qobject_cast<const QAbstractButton *>(control)
        || qobject_cast<const QComboBox *>(control) || qobject_cast<const QLineEdit *>(control)
        || qobject_cast<const QAbstractScrollArea *>(control);
}

QString accessible(QObject *object, QAccessible::Text text)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(object);
    return iface ? iface->text(text) : QString();
}

// The labels a screen reader reads out for a control: on Linux a combo box's name is its current
// value, and what it is for comes from the label whose buddy it is.
QList<QObject *> labelsOf(QWidget *control)
{
    QList<QObject *> labels;
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(control);
    if (!iface)
        return labels;
    for (const auto &[label, relation] : iface->relations(QAccessible::Label)) {
        Q_UNUSED(relation);
        if (qobject_cast<QLabel *>(label->object()))
            labels << label->object();
    }
    return labels;
}

// What tells the control apart when the focus reaches it.
QString spokenName(QWidget *control)
{
    if (!qobject_cast<QComboBox *>(control))
        return accessible(control, QAccessible::Name);
    QStringList names;
    for (QObject *label : labelsOf(control))
        names << accessible(label, QAccessible::Name);
    return names.join(QStringLiteral(" / "));
}

// The widget of `kind` in `frame` whose top is nearest to `row`'s: the control on that row.
template <class Kind> Kind *onRowOf(const QWidget *row, const QWidget *frame)
{
    Kind *nearest = nullptr;
    for (Kind *control : frame->findChildren<Kind *>(Qt::FindDirectChildrenOnly)) {
        if (!nearest || std::abs(control->y() - row->y()) < std::abs(nearest->y() - row->y()))
            nearest = control;
    }
    return nearest;
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanupTestCase();

    void everyControlIsNamed_data();
    void everyControlIsNamed();
    void inputNamesAreDistinct_data();
    void inputNamesAreDistinct();
    void settingRowsNameTheirSetting_data();
    void settingRowsNameTheirSetting();
    void portNamedAlikeInBothWindows_data();
    void portNamedAlikeInBothWindows();
};

void TestAccessibility::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestAccessibility::cleanupTestCase()
{
    if (Principale *main = Principale::ifLoaded())
        main->close();
    if (frmSplash *splash = frmSplash::ifLoaded())
        splash->close();
    QTRY_COMPARE(Forms::instance().loadedCount(), 0);
}

void TestAccessibility::everyControlIsNamed_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("control");

    for (const QString &window : { QStringLiteral("Principale"), QStringLiteral("frmSplash") }) {
        for (const QWidget *control : controlsOf(form(window))) {
            QTest::addRow("%s/%s", qPrintable(window), qPrintable(control->objectName()))
                << window << control->objectName();
        }
    }
}

// A screen reader says a control's name as the focus reaches it; a tick box or a picture with no
// caption, or a button called "Lecture" in a window with two of them, says nothing useful.
void TestAccessibility::everyControlIsNamed()
{
    QFETCH(QString, window);
    QFETCH(QString, control);

    QWidget *widget = form(window)->findChild<QWidget *>(control);
    QVERIFY(widget);
    QVERIFY(QAccessible::queryAccessibleInterface(widget));
    QVERIFY2(!accessible(widget, QAccessible::Name).trimmed().isEmpty(), qPrintable(control));
    if (qobject_cast<QComboBox *>(widget))
        QVERIFY2(!labelsOf(widget).isEmpty(), qPrintable(control));
    if (const auto *button = qobject_cast<const QAbstractButton *>(widget);
        button && button->text().isEmpty()) {
        QVERIFY2(!accessible(widget, QAccessible::Description).isEmpty(), qPrintable(control));
    }
}

void TestAccessibility::inputNamesAreDistinct_data()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("Principale") << QStringLiteral("Principale");
    QTest::newRow("frmSplash") << QStringLiteral("frmSplash");
}

void TestAccessibility::inputNamesAreDistinct()
{
    QFETCH(QString, window);

    QMap<QString, QStringList> controlsByName;
    for (QWidget *control : controlsOf(form(window))) {
        if (takesInput(control))
            controlsByName[spokenName(control)] << control->objectName();
    }
    QStringList shared;
    for (auto it = controlsByName.cbegin(); it != controlsByName.cend(); ++it) {
        if (it.value().size() > 1)
            shared << it.key() + QStringLiteral(" : ") + it.value().join(QStringLiteral(", "));
    }
    QCOMPARE(shared, QStringList());
}

void TestAccessibility::settingRowsNameTheirSetting_data()
{
    QTest::addColumn<QString>("label");

    const QWidget *rows = Principale::form()->findChild<QGroupBox *>(QStringLiteral("Frame6"));
    QVERIFY(rows);
    const QList<QLabel *> labels = rows->findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(labels.size(), 6);
    for (const QLabel *label : labels)
        QTest::newRow(qPrintable(label->objectName())) << label->objectName();
}

// Each setting row is a label, a value box and a tick box with no caption. The value box is read
// out with the label whose buddy it is, the tick box by its name alone: both must lead to the
// row's setting, not to the row above or below.
void TestAccessibility::settingRowsNameTheirSetting()
{
    QFETCH(QString, label);

    const QWidget *rows = Principale::form()->findChild<QGroupBox *>(QStringLiteral("Frame6"));
    const QLabel *caption = rows->findChild<QLabel *>(label);
    QVERIFY(caption);
    const QString setting = caption->text().simplified();
    QComboBox *value = onRowOf<QComboBox>(caption, rows);
    QCheckBox *tick = onRowOf<QCheckBox>(caption, rows);
    QVERIFY(value);
    QVERIFY(tick);

    QVERIFY2(labelsOf(value).contains(caption), qPrintable(value->objectName()));
    const QString tickName = accessible(tick, QAccessible::Name);
    QVERIFY2(tickName.startsWith(QLatin1String("Envoyer "))
            && tickName.endsWith(setting, Qt::CaseInsensitive),
        qPrintable(tick->objectName() + QStringLiteral(" : ") + tickName));
}

void TestAccessibility::portNamedAlikeInBothWindows_data()
{
    QTest::addColumn<int>("com");
    for (int com = 1; com <= 5; ++com)
        QTest::addRow("COM%d", com) << com;
}

// The operator picks the port by number in the start-up window and finds it again among the
// main window's options: a screen reader must call both the same.
void TestAccessibility::portNamedAlikeInBothWindows()
{
    QFETCH(int, com);

    QListWidget *list = frmSplash::form()->ChoixPort();
    QAccessibleInterface *listInterface = QAccessible::queryAccessibleInterface(list);
    QVERIFY(listInterface);
    QAccessibleTableInterface *table = listInterface->tableInterface();
    QVERIFY(table);
    QAccessibleInterface *item = table->cellAt(com - 1, 0);
    QVERIFY(item);
    QCOMPARE(item->text(QAccessible::Name), QStringLiteral("Port COM%1 du PC").arg(com));
    QTRY_VERIFY(!list->item(com - 1)->toolTip().isEmpty());
    QCOMPARE(item->text(QAccessible::Description), list->item(com - 1)->toolTip());

    QRadioButton *option = Principale::form()->portOption(com);
    QVERIFY(option);
    QCOMPARE(accessible(option, QAccessible::Name), item->text(QAccessible::Name));
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
