#include "nccsv.hpp"

#include <string>

#include "csv.hpp"
#include "format.hpp"

namespace hexlog {

namespace {

const char* typeName(ValueType type) {
  switch (type) {
    case ValueType::kByte: return "byte";
    case ValueType::kUByte: return "ubyte";
    case ValueType::kShort: return "short";
    case ValueType::kUShort: return "ushort";
    case ValueType::kInt: return "int";
    case ValueType::kUInt: return "uint";
    case ValueType::kLong: return "long";
    case ValueType::kULong: return "ulong";
    case ValueType::kFloat: return "float";
    case ValueType::kDouble: return "double";
    case ValueType::kString: return "String";
  }
  return "String";
}

}  // namespace

void NccsvWriter::begin(const Dataset& dataset) {
  flags_ = flagVariables(dataset);
  for (const Variable& variable : dataset.variables)
    provenance_ = provenance_ || variable.series == Series::kSourceFile;
  std::string text;
  auto line = [&](const Attribute& attribute) {
    text += attribute.variable + "," + attribute.name + "," + attribute.text + "\n";
  };
  for (const Attribute& attribute : dataset.globals)
    line(attribute);
  for (const Variable& variable : dataset.variables) {
    if (variable.series == Series::kScalar)
      line(*variable.value);
    else
      text += variable.name + ",*DATA_TYPE*," + typeName(variable.type) + "\n";
    for (const Attribute& attribute : variable.attributes)
      line(attribute);
  }
  text += "*END_METADATA*\n";
  std::string names;
  for (const Variable& variable : dataset.variables)
    if (variable.series != Series::kScalar)
      names += (names.empty() ? "" : ",") + variable.name;
  text += names + "\n";
  out_.text(text.data(), text.size());
}

void NccsvWriter::put(const Record& record) {
  char* o = formatRow(out_.reserve(kRowRoom + 4 * kFieldCount + 32), record, false, "NaN", true, vectors_, dates_);
  o = out_.keepRoom(o, 2 * flags_.size() + 40);
  for (size_t f = 0; f < flags_.size(); ++f) {  // a flag is one digit
    o[0] = ',';
    o[1] = static_cast<char>('0' + flagOf(record, f));
    o += 2;
  }
  if (provenance_) {
    *o++ = ',';
    o = formatInt(o, static_cast<int32_t>(record.file));
    *o++ = ',';
    o = formatCount(o, record.line);
  }
  *o++ = '\n';
  out_.commit(o);
}

void NccsvWriter::end() {
  out_.text("*END_DATA*\n", 11);
}

}  // namespace hexlog
