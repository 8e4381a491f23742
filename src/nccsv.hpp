// NCCSV 1.2, the netCDF-compatible csv that ERDDAP reads directly:
//
//   *GLOBAL*,Conventions,"COARDS, CF-1.10, ACDD-1.3, NCCSV-1.2"
//   time,*DATA_TYPE*,String
//   time,units,yyyy-MM-dd'T'HH:mm:ssZ
//   EquilPumpOn_pCO2,*DATA_TYPE*,float
//   ...                                  the tool's metadata, then the user's
//   *END_METADATA*
//   time,EquilPumpOn_pCO2,...
//   2026-06-14T00:00:20Z,396.20715,...   NaN for NaN, infinite and missing
//   *END_DATA*
#pragma once

#include "metadata.hpp"
#include "record.hpp"

void writeNccsvHeader(const Metadata& metadata);
void writeNccsvRecord(const Record& record);
void writeNccsvEnd();
