#include "admin/details_text.h"

#include <QDateTime>

namespace {
QString Latin1(const char* text) {
    return QString::fromLatin1(text);
}

QString Count(uint64_t n, const char* one, const char* many) {
    return QString::number(n) + " " + (n == 1 ? one : many);
}
} // namespace

QStringList DetailsTitles() {
    return {"Address", "Account", "Connected since", "Command", "Transfer", "Rate", "TLS"};
}

QString SizeText(uint64_t bytes) {
    const char* units[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024) return QString::number(bytes) + " B";
    double value = (double)bytes / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        unit++;
    }
    return QString::number(value, 'f', 1) + " " + units[unit];
}

QStringList DetailsColumns(const ConnRecord& r) {
    char endpoint[NET_ENDPOINT_TEXT_SIZE];
    QStringList columns = {Latin1(NetEndpointText(r.client, endpoint))};
    if (!r.hasDetails) return columns;
    columns << (r.account[0] ? Latin1(r.account) : QString("(not logged in)"));
    QDateTime since = QDateTime::fromMSecsSinceEpoch(r.connectedSinceMs);
    bool today = since.date() == QDate::currentDate();
    columns << since.toString(today ? "HH:mm:ss" : "yyyy-MM-dd HH:mm");
    QString command = Latin1(r.command);
    if (r.argument[0]) command += " " + Latin1(r.argument);
    columns << command;
    QString transfer, rate;
    if (r.direction != CONN_XFER_NONE) {
        transfer = QString(r.direction == CONN_XFER_DOWN ? "down " : "up ") + Latin1(r.file) +
                   ", " + SizeText(r.bytes);
        if (r.total != CONN_TOTAL_UNKNOWN) transfer += " of " + SizeText(r.total);
        rate = SizeText(r.rate) + "/s";
    }
    columns << transfer << rate << (r.tls ? "yes" : "");
    return columns;
}

QString SummaryText(const ConnSummary& s) {
    return Count(s.connections, "connection", "connections") + ", " + QString::number(s.loggedIn) +
           " logged in, " + Count(s.transfers, "transfer", "transfers") + ", " + SizeText(s.rate) +
           "/s";
}
