// csv for spreadsheets, pandas and R: a header line of the column names,
// then one line per record, fields separated by a comma alone, LF line ends
// (RFC 4180's shape, which every reader takes without options):
//
//   time,EquilPumpOn_pCO2,EquilPumpOn_Temp,...,Can_Humidity
//   2026-06-14T00:00:20Z,396.207,16.77,...,23.749
//
// Each reading is the shortest text that reads back as the same float; NaN
// and readings a record lacks are empty fields.
#pragma once

#include "record.hpp"

// Seconds since 1970 in the time column instead of ISO 8601 UTC.
extern bool csvEpochTime;

void writeCsvHeader();
void writeCsvRecord(const Record& record);

// The names row of csv and NCCSV, LF included.
void writeNamesRow();
// A row as csv writes it, with `missing` for NaN and the readings a record
// lacks, and for the infinities too when `finiteOnly`.
void writeReadingsRow(const Record& record, const char* missing, bool finiteOnly);
