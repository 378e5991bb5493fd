#pragma once

#include <QColor>
#include <QObject>
#include <QString>

class QComboBox;
class QWidget;

// How the windows behave where they were drawn for a classic window toolkit and Qt differs:
// twips, font faces, colours, the disabled frame, option buttons that can be left with
// none selected, drop-down combos that keep typed text, and the focus-loss event.
namespace toolkit {

// 15 twips to a pixel at 96 dots per inch; every position and size of the forms is a multiple.
constexpr int pixels(int twips)
{
    return twips / 15;
}

inline const QColor windowBlue { 0, 0, 255 };
inline const QColor lumeralOrange { 255, 128, 0 };

// The faces the forms name stand for the nearest installed ones: MS Sans Serif and Arial for a
// metric-compatible sans face (Liberation Sans, else DejaVu Sans), Terminal for a fixed-pitch
// face (DejaVu Sans Mono). Other names are kept.
QString sansFace();
QString fixedFace();
QString faceFor(const QString &face);

// Puts a loaded form in its final look: the faces its style sheet and its widgets name become
// installed ones (faceFor), and every label with the dynamic property autoSize set is sized to
// its text, as a label with AutoSize is. Call once, after setupUi.
void setUpForm(QWidget *form);

// Captions of a container and of the controls in it drawn in `colour`, through the palette: a
// style sheet colour would also recolour the mark of a selected option, which is drawn in the
// text colour. Call before setUpForm: a widget under a style sheet keeps the palette it had when
// first polished, and its children do not inherit the container's.
void setCaptionColour(QWidget *container, const QColor &colour);

// A disabled frame: its controls stay shown as if enabled, the selected option included, but
// take neither mouse nor keyboard input (a disabled QGroupBox would grey them).
void disableFrame(QWidget *frame);

// Leaves none of a frame's option buttons selected, which an exclusive group normally refuses.
// No toggled(true) is emitted, so no option's click handler runs.
void deselectOptions(QWidget *frame);

// A drop-down combo: its text is what the operator typed, exactly, with no completion, no case
// matching and no item added on Enter.
void keepTypedText(QComboBox *box);

// The focus-loss event of one control: lostFocus() is emitted when the focus moves from it to
// another control. A drop-down opening its list or the window going to the background is no
// focus loss. Qt gives the focus to a button on mouse press, so this runs before the click.
class FocusLoss : public QObject
{
    Q_OBJECT

public:
    // Watches `control`; the watcher is the control's child.
    static FocusLoss *watch(QWidget *control);

Q_SIGNALS:
    void lostFocus();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit FocusLoss(QWidget *control);
};

} // namespace toolkit
