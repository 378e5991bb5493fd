// The toolkit's floor for start-up time and memory: a Qt Widgets program that maps one QLabel
// window the size of Tessaly's start-up window.
#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Tessaly"));
    label.resize(492, 283);
    label.show();
    return app.exec();
}
