// Dialog units to pixels, converted the way the Windows dialog manager does
// it, so that layouts written in dialog units keep their proportions for any
// dialog font. Every dialog built from ui/res goes through these functions.
//
//   base x = (advance of "A".."Z" "a".."z" / 26 + 1) / 2   (average letter width)
//   base y = font height (ascent + descent)
//   pixels x = MulDiv(units x, base x, 4), pixels y = MulDiv(units y, base y, 8)
//
// x, y, width and height of a rectangle are converted independently, as in
// a dialog template.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

struct DialogBaseUnits {
  int x = 0;
  int y = 0;
};

// number * numerator / denominator with the product in 64 bits, rounded half
// away from zero; 0 when denominator is 0 (-1 in Windows; nothing here
// divides by a zero base unit).
int MulDiv(int number, int numerator, int denominator);

// From the measured width of the 52 Latin letters and the font height.
DialogBaseUnits ComputeDialogBaseUnits(int alphabetWidth, int fontHeight);
// Measures the font.
DialogBaseUnits GetDialogBaseUnits(const QFont& font);

int DialogUnitsToPixelsX(int units, DialogBaseUnits base);
int DialogUnitsToPixelsY(int units, DialogBaseUnits base);
QRect MapDialogRect(const QRect& units, DialogBaseUnits base);
QSize MapDialogSize(const QSize& units, DialogBaseUnits base);
