#pragma once

#include <QFont>
#include <QSize>
#include <QString>

class QWidget;

// The look the forms share: Tahoma 8 pt (or the nearest sans font installed),
// a fixed client size, a frame with only the system menu and close box, and a
// place in the middle of the screen.
// Family is tried first, then the common fallbacks.
QFont FormFont(const QString &Family = QStringLiteral("Tahoma"));
void FixFormFrame(QWidget *Form, const QSize &ClientSize, const QFont &Font = FormFont());
void CentreOnScreen(QWidget *Form);
