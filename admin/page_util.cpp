#include "admin/page_util.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <cstdlib>

QByteArray& TrimBlanks(QByteArray& text) {
    qsizetype end = text.size();
    while (end > 0 && text[end - 1] == ' ')
        end--;
    qsizetype start = 0;
    while (start < end && text[start] == ' ')
        start++;
    text = text.mid(start, end - start);
    return text;
}

long AtolText(const QString& text) {
    return atol(text.toLatin1().constData());
}

void SetDigitsOnly(QLineEdit* field, int maxLength) {
    field->setMaxLength(maxLength);
    field->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), field));
}

void FitNumberField(QLineEdit* field, int digits) {
    QFontMetrics metrics(field->font());
    field->setFixedWidth(metrics.horizontalAdvance(QString(digits + 2, '0')) + 8);
}

// Paths and names are bytes on this system; they are shown and typed in the
// locale's encoding, as the file system takes them.
QString FromStoreText(const char* text) {
    return QFile::decodeName(text);
}
QByteArray ToStoreText(const QString& text) {
    return QFile::encodeName(text);
}
