#include "metadata.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "record.hpp"

namespace hexlog {

namespace {

struct Field {
  std::string raw;    // as written, quotes included
  std::string value;  // without the quotes, "" as one quote
  bool quoted;
};

class Reader {
 public:
  Reader(const char* path, std::string& error) : path_(path), error_(error) {}

  // "FILE:LINE: what is wrong", and false for the caller to return.
  bool fail(int line, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    char text[1024];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    error_ = std::string(path_) + ":" + std::to_string(line) + ": " + text;
    return false;
  }

  // Fields separated by commas; a field that begins with a quote runs to
  // its closing quote, a doubled quote inside it standing for one.
  bool split(const std::string& line, int number, std::vector<Field>& fields) {
    fields.clear();
    size_t at = 0;
    for (;;) {
      Field field{"", "", false};
      size_t start = at;
      while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
      if (at < line.size() && line[at] == '"') {
        field.quoted = true;
        for (++at;; ++at) {
          if (at >= line.size())
            return fail(number, "a quote that is not closed");
          if (line[at] == '"') {
            if (at + 1 < line.size() && line[at + 1] == '"') {
              field.value += '"';
              ++at;
            } else {
              ++at;
              break;
            }
          } else {
            field.value += line[at];
          }
        }
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
          ++at;
        if (at < line.size() && line[at] != ',')
          return fail(number, "text after a closing quote");
      } else {
        size_t end = line.find(',', at);
        end = end == std::string::npos ? line.size() : end;
        field.value = line.substr(at, end - at);
        field.value.erase(field.value.find_last_not_of(" \t") + 1);
        at = end;
      }
      field.raw = line.substr(start, at - start);
      field.raw.erase(0, field.raw.find_first_not_of(" \t"));
      field.raw.erase(field.raw.find_last_not_of(" \t") + 1);
      fields.push_back(field);
      if (at >= line.size())
        return true;
      ++at;  // the comma
    }
  }

  const char* path_;
  std::string& error_;
};

bool isName(const std::string& name) {
  if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
    return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
      return false;
  return true;
}

struct Suffix {
  const char* text;
  ValueType type;
};
// Longest first, so that "ub" is not taken for "b".
const Suffix kSuffixes[] = {{"ub", ValueType::kUByte}, {"us", ValueType::kUShort}, {"ui", ValueType::kUInt},
                            {"uL", ValueType::kULong}, {"b", ValueType::kByte},    {"s", ValueType::kShort},
                            {"i", ValueType::kInt},    {"L", ValueType::kLong},    {"f", ValueType::kFloat},
                            {"d", ValueType::kDouble}};

template <typename T>
void append(std::vector<char>& bytes, T value) {
  const char* begin = reinterpret_cast<const char*>(&value);
  bytes.insert(bytes.end(), begin, begin + sizeof value);
}

// One number in NCCSV's notation: its type and its bytes appended.
// Returns what is wrong, or nullptr.
const char* parseNumber(const std::string& text, ValueType& type, std::vector<char>& bytes) {
  std::string digits = text;
  type = ValueType::kString;
  for (const Suffix& suffix : kSuffixes) {
    size_t length = std::strlen(suffix.text);
    if (digits.size() > length && digits.compare(digits.size() - length, length, suffix.text) == 0) {
      type = suffix.type;
      digits.resize(digits.size() - length);
      break;
    }
  }
  bool real = digits.find_first_of(".eEN") != std::string::npos;
  if (type == ValueType::kString)
    type = real ? ValueType::kDouble : ValueType::kInt;
  // The whole text must be a number: sign, digits, point, exponent.
  size_t at = digits[0] == '+' || digits[0] == '-' ? 1 : 0;
  bool nan = digits.compare(at, std::string::npos, "NaN") == 0;
  size_t mantissa = 0;
  for (; !nan && at < digits.size() && (std::isdigit(static_cast<unsigned char>(digits[at])) || digits[at] == '.');
       ++at)
    mantissa += digits[at] != '.';
  if (!nan && at < digits.size() && (digits[at] == 'e' || digits[at] == 'E')) {
    at += at + 1 < digits.size() && (digits[at + 1] == '+' || digits[at + 1] == '-') ? 2 : 1;
    size_t exponent = at;
    while (at < digits.size() && std::isdigit(static_cast<unsigned char>(digits[at])))
      ++at;
    if (at == exponent)
      mantissa = 0;
  }
  if (!nan && (mantissa == 0 || at != digits.size() || std::count(digits.begin(), digits.end(), '.') > 1))
    return "not a number";
  if (nan && type != ValueType::kFloat && type != ValueType::kDouble)
    return "NaN is a float or a double";

  errno = 0;
  if (type == ValueType::kFloat) {
    float value = std::strtof(digits.c_str(), nullptr);
    if (errno == ERANGE && (value > 1 || value < -1))
      return "out of the float range";
    append(bytes, value);
    return nullptr;
  }
  if (type == ValueType::kDouble) {
    double value = std::strtod(digits.c_str(), nullptr);
    if (errno == ERANGE && (value > 1 || value < -1))
      return "out of the double range";
    append(bytes, value);
    return nullptr;
  }
  if (real)
    return "an integer type with a fraction or an exponent";
  // The integer types in order of width: 8, 16, 32 and 64 bits.
  int width = type == ValueType::kByte || type == ValueType::kUByte     ? 0
              : type == ValueType::kShort || type == ValueType::kUShort ? 1
              : type == ValueType::kInt || type == ValueType::kUInt     ? 2
                                                                        : 3;
  bool isUnsigned = type == ValueType::kUByte || type == ValueType::kUShort || type == ValueType::kUInt ||
                    type == ValueType::kULong;
  uint64_t bits;
  if (isUnsigned) {
    static const uint64_t kHighest[] = {UINT8_MAX, UINT16_MAX, UINT32_MAX, UINT64_MAX};
    uint64_t value = std::strtoull(digits.c_str(), nullptr, 10);
    if (digits[0] == '-')
      return "negative for an unsigned type";
    if (errno == ERANGE || value > kHighest[width])
      return "out of the range of its type";
    bits = value;
  } else {
    static const int64_t kHighest[] = {INT8_MAX, INT16_MAX, INT32_MAX, INT64_MAX};
    int64_t value = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || value > kHighest[width] || value < -kHighest[width] - 1)
      return "out of the range of its type";
    bits = static_cast<uint64_t>(value);  // two's complement: the low bytes are the narrow type's
  }
  if (width == 0)
    append(bytes, static_cast<uint8_t>(bits));
  else if (width == 1)
    append(bytes, static_cast<uint16_t>(bits));
  else if (width == 2)
    append(bytes, static_cast<uint32_t>(bits));
  else
    append(bytes, bits);
  return nullptr;
}

bool isReading(const std::string& name) {
  for (int k = 0; k < kFieldCount; ++k)
    if (name == columnName(k))
      return true;
  return false;
}

}  // namespace

const Attribute* findAttribute(const Metadata& metadata, const std::string& variable, const std::string& name) {
  for (const Attribute& attribute : metadata.attributes)
    if (attribute.variable == variable && attribute.name == name)
      return &attribute;
  return nullptr;
}

bool readMetadata(const char* path, Metadata& metadata, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = std::string("cannot read metadata file ") + path + ": " + std::strerror(errno);
    return false;
  }
  Reader reader(path, error);
  std::vector<int> lines;  // where each attribute was
  std::vector<Field> fields;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos)
      continue;
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
        return reader.fail(number, "a control character");
    if (!reader.split(line, number, fields))
      return false;
    if (fields.size() < 3 || fields[0].value.empty() || fields[1].value.empty() || fields[2].raw.empty())
      return reader.fail(number, "a line needs three fields: variable,attribute,value");

    Attribute attribute{fields[0].value, fields[1].value, ValueType::kString, 0, {}, ""};
    for (size_t i = 2; i < fields.size(); ++i)
      attribute.text += (i > 2 ? "," : "") + fields[i].raw;
    for (size_t i = 2; i < fields.size(); ++i) {
      const Field& field = fields[i];
      // Text that begins like a number is one; other unquoted text is a string.
      char first = field.value.empty() ? '\0' : field.value[0];
      bool numeric = !field.quoted && (std::isdigit(static_cast<unsigned char>(first)) || first == '-' ||
                                       first == '+' || first == '.' || field.value.compare(0, 3, "NaN") == 0);
      if (!numeric) {
        if (fields.size() > 3)
          return reader.fail(number, "several values must be numbers; quote a string that holds a comma");
        attribute.type = ValueType::kString;
        attribute.values.assign(field.value.begin(), field.value.end());
        attribute.count = 1;
        break;
      }
      ValueType type;
      if (const char* wrong = parseNumber(field.value, type, attribute.values))
        return reader.fail(number, "bad number '%s': %s", field.value.c_str(), wrong);
      if (i > 2 && type != attribute.type)
        return reader.fail(number, "values of different types in one attribute");
      attribute.type = type;
      ++attribute.count;
    }

    if (attribute.name == "*SCALAR*") {
      if (!isName(attribute.variable) || attribute.variable == "time" || isReading(attribute.variable))
        return reader.fail(number, "'%s' cannot be a scalar variable", attribute.variable.c_str());
      if (attribute.count != 1)
        return reader.fail(number, "a scalar variable has one value");
      metadata.scalars.push_back(attribute.variable);
    } else if (attribute.name == "*DATA_TYPE*") {
      return reader.fail(number, "a second *DATA_TYPE* for %s: hexlog writes the type", attribute.variable.c_str());
    } else if (!isName(attribute.name)) {
      return reader.fail(number, "'%s' is no attribute name", attribute.name.c_str());
    } else if (attribute.name == "Conventions" || attribute.name == "_FillValue" ||
               (attribute.variable == "time" && attribute.name == "units")) {
      return reader.fail(number, "%s,%s is hexlog's own: it describes how the data are written",
                         attribute.variable.c_str(), attribute.name.c_str());
    }
    for (size_t i = 0; i < metadata.attributes.size(); ++i) {
      const Attribute& earlier = metadata.attributes[i];
      if (earlier.variable == attribute.variable && earlier.name == attribute.name)
        return reader.fail(number, "a second %s,%s (the first is on line %d)", attribute.variable.c_str(),
                           attribute.name.c_str(), lines[i]);
    }
    metadata.attributes.push_back(attribute);
    lines.push_back(number);
  }
  if (file.bad()) {
    error = std::string("cannot read metadata file ") + path + ": " + std::strerror(errno);
    return false;
  }
  // Attributes may come before the *SCALAR* line that defines their variable.
  for (size_t i = 0; i < metadata.attributes.size(); ++i) {
    const std::string& variable = metadata.attributes[i].variable;
    bool known = variable == "*GLOBAL*" || variable == "time" || isReading(variable);
    for (const std::string& scalar : metadata.scalars)
      known = known || variable == scalar;
    if (!known)
      return reader.fail(lines[i], "unknown variable '%s': the variables are *GLOBAL*, time, the readings' "
                                   "column names and the file's *SCALAR* variables", variable.c_str());
  }
  return true;
}

}  // namespace hexlog
