// Small helpers the property pages and the user settings dialog share.
#pragma once

#include <QByteArray>
#include <QString>

class QLineEdit;

// Removes the blanks (spaces only: not tabs, CR or LF) at the end, then at
// the start of text, in place; returns text.
QByteArray& TrimBlanks(QByteArray& text);
// A number typed into a field, read as the C library's atol: leading white
// space, an optional sign, digits up to the first non-digit; none read as 0.
long AtolText(const QString& text);
// Lets the field take digits only, at most maxLength of them.
void SetDigitsOnly(QLineEdit* field, int maxLength);
// Makes a number field as wide as its longest entry, not the page.
void FitNumberField(QLineEdit* field, int digits);
// Text of the store (single bytes, file names) shown in a field, and back.
QString FromStoreText(const char* text);
QByteArray ToStoreText(const QString& text);
