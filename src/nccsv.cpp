#include "nccsv.hpp"

#include <cstring>
#include <string>

#include "csv.hpp"
#include "output.hpp"

namespace {

void print(const std::string& text) {
  outputText(text.data(), text.size());
}

// A default pair, unless the user's metadata has its own.
void printDefault(const Metadata& metadata, const std::string& variable, const std::string& name,
                  const std::string& value) {
  if (findAttribute(metadata, variable, name) == nullptr)
    print(variable + "," + name + "," + value + "\n");
}

}  // namespace

void writeNccsvHeader(const Metadata& metadata) {
  print("*GLOBAL*,Conventions,\"COARDS, CF-1.10, ACDD-1.3, NCCSV-1.2\"\n");
  print("time,*DATA_TYPE*,String\n");
  printDefault(metadata, "time", "standard_name", "time");
  printDefault(metadata, "time", "long_name", "Time");
  print("time,units,yyyy-MM-dd'T'HH:mm:ssZ\n");
  for (int k = 0; k < kFieldCount; ++k) {
    std::string name = columnName(k);
    print(name + ",*DATA_TYPE*,float\n");
    printDefault(metadata, name, "long_name", longName(k));
  }
  for (const Attribute& attribute : metadata.attributes)
    print(attribute.variable + "," + attribute.name + "," + attribute.text + "\n");
  print("*END_METADATA*\n");
  writeNamesRow();
}

void writeNccsvRecord(const Record& record) {
  writeReadingsRow(record, "NaN", true);
}

void writeNccsvEnd() {
  print("*END_DATA*\n");
}
