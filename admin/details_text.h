// The details view's texts: a connection's columns and the status bar's
// summary. The only place a record's details become text.
#pragma once

#include <QString>
#include <QStringList>

#include "view/conn_record.h"

// The column titles, in order.
QStringList DetailsTitles();
// The columns of one connection: address, account ("(not logged in)"),
// connected since, command, transfer, rate, TLS. A record without details
// yet shows its address only.
QStringList DetailsColumns(const ConnRecord& record);
// "3 connections, 2 logged in, 1 transfer, 1.2 MB/s".
QString SummaryText(const ConnSummary& summary);
// "0 B", "812 B", "12.3 KB", "4.0 MB", "1.5 GB" (1 KB = 1024 bytes).
QString SizeText(uint64_t bytes);
