// What happened to the lines of each input: Tally and FileCounts, declared
// with the library's contract.
#pragma once

#include "hexlog/hexlog.hpp"
