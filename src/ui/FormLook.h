#pragma once

#include <QFont>
#include <QSize>

class QWidget;

// The look the forms share: Tahoma 8 pt (or the nearest sans font installed),
// a fixed client size, a frame with only the system menu and close box, and a
// place in the middle of the screen.
QFont FormFont();
void FixFormFrame(QWidget *Form, const QSize &ClientSize);
void CentreOnScreen(QWidget *Form);
