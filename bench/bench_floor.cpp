// The toolkit's floor for start-up time and memory: a Qt Widgets program that maps one QLabel
// window the size of Tessaly's start-up window. Like any window laid out around its text, it
// measures its text before it is shown, so the fonts are loaded before the window maps, as they
// are for the start-up window; a window sized by hand alone would map before loading any font
// and draw only once it had.
#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Tessaly"));
    label.resize(label.sizeHint().expandedTo(QSize(492, 283)));
    label.show();
    return app.exec();
}
