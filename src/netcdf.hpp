// CF netCDF-4 through the netCDF C library, for xarray, Panoply, Ocean Data
// View, MATLAB and R:
//
//   dimensions:  time = UNLIMITED
//   int time(time)                   seconds since 1970-01-01T00:00:00Z
//   float EquilPumpOn_pCO2(time)     the reading's exact bits; _FillValue
//   ...                              where a record lacks it
//   <scalar> station_id, ...         the *SCALAR* variables of --metadata
//
// Records are written in chunks of many thousand, deflated after shuffling,
// so memory stays the same whatever the input's size.
#pragma once

#include "metadata.hpp"
#include "record.hpp"

// Loads the library (only netCDF output pays for it). Prints why and
// returns false when this build or this machine cannot write netCDF.
bool loadNetcdf();

// Creates the file at `path` and defines its variables and attributes.
void startNetcdf(const char* path, const Metadata& metadata);
void writeNetcdfRecord(const Record& record);
// Writes what is left and closes the file.
void finishNetcdf();
// Each of these ends the process with status 1 on a write failure, after
// "hexlog: write error: ..." on standard error and removing the unfinished
// output file.
