#include "metadata.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <type_traits>

#include "files.hpp"
#include "record.hpp"

namespace hexlog {

namespace {

// A metadata file is a page of text; a line or a file far larger is a
// mistake (a data file, /dev/zero) to refuse before it fills the memory.
constexpr size_t kLineLimit = size_t{1} << 20;
constexpr size_t kFileLimit = size_t{16} << 20;
// netCDF's NC_MAX_NAME.
constexpr size_t kNameLimit = 256;

// A file's lines, read in blocks: a line grows to the limit and no
// further, and no more than one byte past the file's limit is ever read.
class LineReader {
 public:
  enum Status { kLine, kEnd, kLongLine, kLargeFile, kReadError };

  explicit LineReader(std::FILE* file) : file_(file) {}

  // The next line without its LF (a CR before it stays, for the caller).
  Status next(std::string& line) {
    line.clear();
    for (;;) {
      if (const void* found = std::memchr(block_ + begin_, '\n', end_ - begin_)) {
        size_t end = static_cast<size_t>(static_cast<const char*>(found) - block_);
        line.append(block_ + begin_, end - begin_);
        begin_ = end + 1;
        return line.size() > kLineLimit + 1 ? kLongLine : kLine;  // + 1: a CR ending a line of the limit
      }
      line.append(block_ + begin_, end_ - begin_);
      begin_ = end_ = 0;
      if (line.size() > kLineLimit + 1)
        return kLongLine;
      size_t wanted = std::min(sizeof block_, kFileLimit + 1 - total_);
      end_ = std::fread(block_, 1, wanted, file_);
      total_ += end_;
      if (total_ > kFileLimit)
        return kLargeFile;
      if (end_ == 0) {
        if (std::ferror(file_))
          return kReadError;
        return line.empty() ? kEnd : kLine;  // the last line may lack its LF
      }
    }
  }

 private:
  std::FILE* file_;
  char block_[65536];
  size_t begin_ = 0, end_ = 0;
  size_t total_ = 0;
};

struct Field {
  std::string raw;    // as written, quotes included
  std::string value;  // without the quotes, "" as one quote, escapes still escaped
  bool quoted;
};

// A name or a value as a message shows it: the start of a long one.
std::string shown(const std::string& text) {
  return text.size() <= 60 ? text : text.substr(0, 60) + "...";
}

class Reader {
 public:
  Reader(const char* path, std::string& error) : path_(path), error_(error) {}

  // "FILE:LINE: what is wrong", and false for the caller to return.
  bool fail(size_t line, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    va_list values;
    va_start(values, format);
    int size = std::vsnprintf(nullptr, 0, format, values);
    va_end(values);
    std::string message(static_cast<size_t>(size > 0 ? size : 0), '\0');
    va_start(values, format);
    std::vsnprintf(message.data(), message.size() + 1, format, values);
    va_end(values);
    error_ = std::string(path_) + ":" + std::to_string(line) + ": " + message;
    return false;
  }

  // Fields separated by commas; a field that begins with a quote runs to
  // its closing quote, a doubled quote inside it standing for one and a
  // backslash keeping the next character from closing it:
  //
  //   *GLOBAL*,title,"Line ""7"", \"north\""   three fields
  bool split(const std::string& line, size_t number, std::vector<Field>& fields) {
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
          if (line[at] == '\\' && at + 1 < line.size()) {
            field.value.append(line, at, 2);
            ++at;
          } else if (line[at] == '"') {
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

 private:
  const char* path_;
  std::string& error_;
};

// An ASCII letter or underscore, then letters, digits and underscores, at
// most netCDF's length. Returns what is wrong, or nullptr.
const char* nameFault(const std::string& name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (name.empty() || !letter(name[0]))
    return "a name starts with an ASCII letter or an underscore";
  for (char c : name)
    if (!letter(c) && !(c >= '0' && c <= '9'))
      return "a name holds only ASCII letters, digits and underscores";
  if (name.size() > kNameLimit)
    return "a name is at most 256 bytes long in netCDF";
  return nullptr;
}

// The attribute names the netCDF library keeps for itself (nc_put_att
// refuses them: "String match to name in use").
const char* const kLibraryNames[] = {"_ARRAY_DIMENSIONS", "_Codecs",       "_Format",
                                     "_IsNetcdf4",        "_NCProperties", "_NCZARR_ATTR",
                                     "_Netcdf4Coordinates", "_Netcdf4Dimid", "_SuperblockVersion",
                                     "_nc3_strict"};

bool isLibraryName(const std::string& name) {
  for (const char* kept : kLibraryNames)
    if (name == kept)
      return true;
  return false;
}

// ---- Strings ----------------------------------------------------------------------

}  // namespace

size_t utf8Prefix(const char* text, size_t n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t at = 0;
  while (at < n) {
    unsigned char c = p[at];
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || at + length > n)
      return at;
    uint32_t code = length == 1 ? c : static_cast<uint32_t>(c & (0x7F >> length));
    for (size_t i = 1; i < length; ++i) {
      if ((p[at + i] & 0xC0) != 0x80)
        return at;
      code = code << 6 | (p[at + i] & 0x3F);
    }
    // The shortest form only, no surrogates, nothing past U+10FFFF.
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
      return at;
    at += length;
  }
  return at;
}

namespace {

void appendUtf8(std::string& text, uint32_t code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | code >> 6);
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | code >> 12);
    text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | code >> 18);
    text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The four hexadecimal digits of a \u escape at `at`, or -1.
long hexQuad(const std::string& text, size_t at) {
  if (at + 4 > text.size())
    return -1;
  long code = 0;
  for (size_t i = at; i < at + 4; ++i) {
    char c = text[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0)
      return -1;
    code = code * 16 + digit;
  }
  return code;
}

// The character a one-letter escape stands for, or 0.
char escaped(char letter) {
  switch (letter) {
    case 'n': return '\n';
    case 't': return '\t';
    case 'r': return '\r';
    case 'f': return '\f';
    case 'b': return '\b';
    case '/': return '/';
    case '\\': return '\\';
    case '"': return '"';
    default: return '\0';
  }
}

// A string's escapes decoded, JSON's set: \n \t \r \f \b \/ \\ \" and
// \uXXXX, a character outside the first 65536 as a surrogate pair
// (\uD83C\uDF0A). Returns what is wrong, or "".
std::string unescape(const std::string& text, std::string& value) {
  value.clear();
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\\') {
      value += text[at];
      continue;
    }
    if (++at == text.size())
      return "a backslash that ends a string (write \\\\ for a backslash)";
    if (char character = escaped(text[at])) {
      value += character;
      continue;
    }
    if (text[at] != 'u')
      return std::string("an unknown escape \\") + text[at] +
             " (the escapes are \\n \\t \\r \\f \\b \\/ \\\\ \\\" \\uXXXX)";
    long code = hexQuad(text, at + 1);
    if (code < 0)
      return "\\u needs four hexadecimal digits";
    at += 4;
    if (code >= 0xDC00 && code <= 0xDFFF)
      return "a \\u escape of a second surrogate without the first";
    if (code >= 0xD800 && code <= 0xDBFF) {
      long low = at + 2 < text.size() && text[at + 1] == '\\' && text[at + 2] == 'u' ? hexQuad(text, at + 3) : -1;
      if (low < 0xDC00 || low > 0xDFFF)
        return "a \\u escape of a first surrogate without the second";
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      at += 6;
    }
    if (code == 0)
      return "\\u0000: a netCDF string cannot hold a NUL";
    appendUtf8(value, static_cast<uint32_t>(code));
  }
  return "";
}

// Text that a reader of any NCCSV version may take for a number: a digit,
// a sign or a point first, or NaN. A string like it is quoted.
bool beginsLikeNumber(const std::string& text) {
  char first = text.empty() ? '\0' : text[0];
  return (first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.' ||
         text.compare(0, 3, "NaN") == 0;
}

// ---- Numbers ----------------------------------------------------------------------

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

// An integer of type T, from_chars's way: no locale, the exact range.
template <typename T>
const char* appendInteger(const std::string& digits, std::vector<char>& bytes) {
  if (std::is_unsigned<T>::value && digits[0] == '-')
    return "negative for an unsigned type";
  size_t at = digits[0] == '+';
  T value = 0;
  std::from_chars_result read = std::from_chars(digits.data() + at, digits.data() + digits.size(), value);
  if (read.ec == std::errc::result_out_of_range)
    return "out of the range of its type";
  if (read.ec != std::errc() || read.ptr != digits.data() + digits.size())
    return "not a number";
  append(bytes, value);
  return nullptr;
}

// A real of type T. from_chars rounds the decimal text once, right, and
// calls both overflow and an underflow to 0 out of range; a subnormal that
// can hold the value is fine.
template <typename T>
const char* appendReal(const std::string& digits, std::vector<char>& bytes, const char* range) {
  size_t at = digits[0] == '+';
  T value = 0;
  std::from_chars_result read = std::from_chars(digits.data() + at, digits.data() + digits.size(), value);
  if (read.ec == std::errc::result_out_of_range)
    return range;
  if (read.ec != std::errc() || read.ptr != digits.data() + digits.size())
    return "not a number";
  append(bytes, value);
  return nullptr;
}

// Decimal text: a sign, digits with at most one point, an exponent.
bool isDecimal(const std::string& text, bool& real) {
  size_t at = text[0] == '+' || text[0] == '-' ? 1 : 0;
  size_t digits = 0, points = 0;
  for (; at < text.size() && ((text[at] >= '0' && text[at] <= '9') || text[at] == '.'); ++at)
    text[at] == '.' ? ++points : ++digits;
  real = points > 0;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    real = true;
    at += at + 1 < text.size() && (text[at + 1] == '+' || text[at + 1] == '-') ? 2u : 1u;
    size_t exponent = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
      ++at;
    if (at == exponent)
      return false;
  }
  return digits > 0 && points <= 1 && at == text.size();
}

// An unquoted value in NCCSV's notation: a number with its type suffix
// appended to `bytes`, or (type kString) text that is no number. Returns
// what is wrong with text that looks like a number and is none, or nullptr.
//
//   300b  byte, out of range     1.5.0f  bad     1.5q, 1, 2026-12-08  strings
const char* parseNumber(const std::string& text, ValueType& type, std::vector<char>& bytes) {
  type = ValueType::kString;
  std::string digits;
  for (const Suffix& suffix : kSuffixes) {
    size_t length = std::strlen(suffix.text);
    if (text.size() > length && text.compare(text.size() - length, length, suffix.text) == 0) {
      digits = text.substr(0, text.size() - length);
      // A number's start: 7, -7, .5, -.5, NaN ("3rd" is a bad number, "mb" a string).
      size_t at = digits[0] == '+' || digits[0] == '-';
      auto digit = [&](size_t i) { return digits[i] >= '0' && digits[i] <= '9'; };  // [size()] is '\0'
      if (digit(at) || (digits[at] == '.' && digit(at + 1)) || digits.compare(at, 3, "NaN") == 0)
        type = suffix.type;
      break;
    }
  }
  if (type == ValueType::kString)
    return nullptr;
  bool real = type == ValueType::kFloat || type == ValueType::kDouble;
  if (digits == "NaN") {
    if (!real)
      return "NaN is a float or a double";
    if (type == ValueType::kFloat)
      append(bytes, std::numeric_limits<float>::quiet_NaN());
    else
      append(bytes, std::numeric_limits<double>::quiet_NaN());
    return nullptr;
  }
  bool fraction;
  if (!isDecimal(digits, fraction))
    return "not a number (quote it to make it a String)";
  switch (type) {
    case ValueType::kFloat:
      return appendReal<float>(digits, bytes, "out of the range of a float (1.4e-45 to 3.4e38, and 0)");
    case ValueType::kDouble:
      return appendReal<double>(digits, bytes, "out of the range of a double (4.9e-324 to 1.8e308, and 0)");
    default: break;
  }
  if (fraction)
    return "an integer type with a fraction or an exponent";
  switch (type) {
    case ValueType::kByte: return appendInteger<int8_t>(digits, bytes);
    case ValueType::kUByte: return appendInteger<uint8_t>(digits, bytes);
    case ValueType::kShort: return appendInteger<int16_t>(digits, bytes);
    case ValueType::kUShort: return appendInteger<uint16_t>(digits, bytes);
    case ValueType::kInt: return appendInteger<int32_t>(digits, bytes);
    case ValueType::kUInt: return appendInteger<uint32_t>(digits, bytes);
    case ValueType::kLong: return appendInteger<int64_t>(digits, bytes);
    default: return appendInteger<uint64_t>(digits, bytes);
  }
}

bool isReading(const std::string& name) {
  for (int k = 0; k < kFieldCount; ++k)
    if (name == columnName(k))
      return true;
  return false;
}

// The names of the variables hexlog writes itself, whether or not this
// run writes them: a scalar of the same name would be a second variable.
bool isGenerated(const std::string& name) {
  if (name == "time" || name == "source_file" || name == "source_line" || isReading(name))
    return true;
  for (int k = 0; k < kFieldCount; ++k) {
    std::string reading = columnName(k);
    if (name.compare(0, reading.size() + 1, reading + "_") == 0 &&
        (name == reading + "_qc" || name.compare(reading.size(), 8, "_qartod_") == 0))
      return true;
  }
  return false;
}

// What is wrong with a value that must be numbers: `count` of them (0: any),
// none NaN; or nullptr.
const char* numbersFault(const Attribute& attribute, size_t count, std::vector<double>& numbers) {
  if (!numbersOf(attribute, numbers))
    return "is a string";
  if (count != 0 && numbers.size() != count)
    return count == 1 ? "holds more than one number" : "does not hold two numbers";
  for (double number : numbers)
    if (number != number)
      return "holds NaN";
  return nullptr;
}

// The values the tool reads itself, checked where they stand: a position
// is a number, and a valid range two ordered numbers.
bool checkValues(Reader& reader, const Metadata& metadata, const std::vector<size_t>& numbers) {
  std::vector<double> values;
  for (size_t i = 0; i < metadata.attributes.size(); ++i) {
    const Attribute& attribute = metadata.attributes[i];
    const std::string& variable = attribute.variable;
    const std::string& name = attribute.name;
    if ((variable == "latitude" || variable == "longitude") && name == "*SCALAR*" &&
        numbersFault(attribute, 1, values) != nullptr)
      return reader.fail(numbers[i], "%s is the station's position in degrees, a number: write %s,*SCALAR*,%sd",
                         variable.c_str(), variable.c_str(), variable == "latitude" ? "36.75" : "-122.03");
    if (!isReading(variable))
      continue;
    if (name == "valid_range") {
      const char* wrong = numbersFault(attribute, 2, values);
      if (wrong == nullptr && values[0] > values[1])
        wrong = "is the wrong way round";
      if (wrong != nullptr)
        return reader.fail(numbers[i], "%s,valid_range %s: it is the lowest and the highest valid reading, "
                                       "two numbers such as %s,valid_range,0.0f,1000.0f", variable.c_str(), wrong,
                           variable.c_str());
      if (findAttribute(metadata, variable, "valid_min") != nullptr ||
          findAttribute(metadata, variable, "valid_max") != nullptr)
        return reader.fail(numbers[i], "%s has valid_range and valid_min or valid_max: give one or the other",
                           variable.c_str());
    } else if (name == "valid_min" || name == "valid_max") {
      const char* wrong = numbersFault(attribute, 1, values);
      if (wrong != nullptr)
        return reader.fail(numbers[i], "%s,%s %s: write one number, such as %s,%s,%s", variable.c_str(),
                           name.c_str(), wrong, variable.c_str(), name.c_str(),
                           name == "valid_min" ? "0.0f" : "1000.0f");
      const Attribute* min = findAttribute(metadata, variable, "valid_min");
      const Attribute* max = findAttribute(metadata, variable, "valid_max");
      std::vector<double> low, high;
      if (name == "valid_max" && min != nullptr && numbersFault(*min, 1, low) == nullptr &&
          numbersFault(*max, 1, high) == nullptr && low[0] > high[0])
        return reader.fail(numbers[i], "%s,valid_max is below its valid_min", variable.c_str());
    }
  }
  return true;
}

std::string placeKey(const std::string& variable, const std::string& name) {
  return variable + '\n' + name;
}

// One metadata line, split, into `attribute`; false with the error set.
bool readAttribute(Reader& reader, size_t number, const std::vector<Field>& fields, Attribute& attribute) {
  if (fields.size() < 3 || fields[0].value.empty() || fields[1].value.empty() || fields[2].raw.empty())
    return reader.fail(number, "a line needs three fields: variable,attribute,value");
  attribute = Attribute{fields[0].value, fields[1].value, ValueType::kString, 0, {}, ""};
  bool strings = false;
  for (size_t i = 2; i < fields.size(); ++i) {
    const Field& field = fields[i];
    if (field.raw.empty())
      return reader.fail(number, "an empty value (\"\" is an empty String)");
    if (!field.quoted && field.value[0] == '\'')
      return reader.fail(number, "char values are not supported; write a String");
    ValueType type = ValueType::kString;
    if (!field.quoted)
      if (const char* wrong = parseNumber(field.value, type, attribute.values))
        return reader.fail(number, "bad number '%s': %s", shown(field.value).c_str(), wrong);
    strings = strings || type == ValueType::kString;
    if (strings && fields.size() > 3)
      return reader.fail(number, "several values must be numbers of one type; quote a string that holds a comma "
                                 "(several strings are one, joined by \\n)");
    if (i > 2 && type != attribute.type)
      return reader.fail(number, "values of different types in one attribute");
    attribute.type = type;
    ++attribute.count;
  }
  if (strings) {
    std::string value;
    std::string wrong = unescape(fields[2].value, value);
    if (!wrong.empty())
      return reader.fail(number, "%s", wrong.c_str());
    attribute.values.assign(value.begin(), value.end());
    attribute.text = canonicalString(value);
  } else {
    for (size_t i = 2; i < fields.size(); ++i)
      attribute.text += (i > 2 ? "," : "") + fields[i].raw;
  }
  return true;
}

// The names and their place: what netCDF and hexlog allow where.
bool checkNames(Reader& reader, size_t number, const Attribute& attribute) {
  const std::string& variable = attribute.variable;
  const std::string& name = attribute.name;
  const char* wrong = variable == "*GLOBAL*" ? nullptr : nameFault(variable);
  if (wrong != nullptr)
    return reader.fail(number, "'%s' is no variable name: %s", shown(variable).c_str(), wrong);
  if (name == "*SCALAR*") {
    if (variable == "*GLOBAL*")
      return reader.fail(number, "'%s' cannot be a scalar variable", variable.c_str());
    if (isGenerated(variable))
      return reader.fail(number, "'%s' is a variable hexlog writes itself (the time, a reading, a reading's flags, "
                                 "the provenance): give the scalar another name", variable.c_str());
    if (attribute.count != 1)
      return reader.fail(number, "a scalar variable has one value");
    return true;
  }
  if (name == "*DATA_TYPE*")
    return reader.fail(number, "*DATA_TYPE* is hexlog's: it writes each variable's type itself (time a String, the "
                               "readings floats, a scalar its value's type)");
  if ((wrong = nameFault(name)) != nullptr)
    return reader.fail(number, "'%s' is no attribute name: %s", shown(name).c_str(), wrong);
  if (isLibraryName(name))
    return reader.fail(number, "%s is an attribute the netCDF library keeps for itself", name.c_str());
  if ((name == "Conventions" && variable != "*GLOBAL*") || name == "_FillValue" ||
      (variable == "time" && name == "units"))
    return reader.fail(number, "%s,%s is hexlog's own: it describes how the data are written", variable.c_str(),
                       name.c_str());
  return true;
}

}  // namespace

bool numbersOf(const Attribute& attribute, std::vector<double>& numbers) {
  numbers.clear();
  const char* at = attribute.values.data();
  auto take = [&](auto sample) {
    for (size_t i = 0; i < attribute.count; ++i, at += sizeof sample) {
      std::memcpy(&sample, at, sizeof sample);
      numbers.push_back(static_cast<double>(sample));
    }
    return true;
  };
  switch (attribute.type) {
    case ValueType::kByte: return take(int8_t{});
    case ValueType::kUByte: return take(uint8_t{});
    case ValueType::kShort: return take(int16_t{});
    case ValueType::kUShort: return take(uint16_t{});
    case ValueType::kInt: return take(int32_t{});
    case ValueType::kUInt: return take(uint32_t{});
    case ValueType::kLong: return take(int64_t{});
    case ValueType::kULong: return take(uint64_t{});
    case ValueType::kFloat: return take(float{});
    case ValueType::kDouble: return take(double{});
    case ValueType::kString: return false;
  }
  return false;
}

std::string canonicalString(const std::string& value) {
  std::string text;
  bool quoted = value.empty() || value.front() == ' ' || value.back() == ' ' || value.front() == '\'' ||
                beginsLikeNumber(value);
  for (char c : value) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': text += "\\\\"; break;
      case '\n': text += "\\n"; break;
      case '\t': text += "\\t"; break;
      case '\r': text += "\\r"; break;
      case '\f': text += "\\f"; break;
      case '\b': text += "\\b"; break;
      case '"':
        text += "\"\"";
        quoted = true;
        break;
      case ',':
        text += c;
        quoted = true;
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escape[7];
          std::snprintf(escape, sizeof escape, "\\u%04X", byte);
          text += escape;
        } else {
          text += c;
        }
    }
  }
  return quoted ? '"' + text + '"' : text;
}

const Attribute* findAttribute(const Metadata& metadata, const std::string& variable, const std::string& name) {
  auto place = metadata.places.find(placeKey(variable, name));
  return place == metadata.places.end() ? nullptr : &metadata.attributes[place->second];
}

bool readMetadata(const char* path, Metadata& metadata, std::string& error) {
  metadata = Metadata();
  int fd = openFile(path, O_RDONLY);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fd >= 0 ? fdopen(fd, "rb") : nullptr, std::fclose);
  if (file == nullptr) {
    int why = errno;
    if (fd >= 0)
      close(fd);
    errno = why;
    error = std::string("cannot read metadata file ") + path + ": " + std::generic_category().message(errno);
    return false;
  }
  Reader reader(path, error);
  auto lines = std::make_unique<LineReader>(file.get());  // its block is too big for some threads' stacks
  std::vector<size_t> numbers;                            // each attribute's line
  std::vector<Field> parts;
  std::string line;
  for (size_t number = 1;; ++number) {
    LineReader::Status status = lines->next(line);
    if (status == LineReader::kEnd)
      break;
    if (status == LineReader::kReadError) {
      error = std::string("cannot read metadata file ") + path + ": " + std::generic_category().message(errno);
      return false;
    }
    if (status == LineReader::kLargeFile) {
      error = std::string(path) + ": larger than 16 MiB, too large for a metadata file";
      return false;
    }
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (status == LineReader::kLongLine || line.size() > kLineLimit)
      return reader.fail(number, "a line longer than 1 MiB");
    if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
      line.erase(0, 3);  // a byte order mark, which some editors write
    if (line.find_first_not_of(" \t") == std::string::npos)
      continue;
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
        return reader.fail(number, "a control character (in a string, write it as an escape such as \\u0007)");
    size_t valid = utf8Prefix(line.data(), line.size());
    if (valid != line.size())
      return reader.fail(number, "byte %zu is not UTF-8, as NCCSV and netCDF text must be (save the file as UTF-8, or "
                                 "write the character as \\uXXXX)", valid + 1);

    Attribute attribute;
    if (!reader.split(line, number, parts) || !readAttribute(reader, number, parts, attribute) ||
        !checkNames(reader, number, attribute))
      return false;
    auto place = metadata.places.emplace(placeKey(attribute.variable, attribute.name), metadata.attributes.size());
    if (!place.second)
      return reader.fail(number, "a second %s,%s (the first is on line %zu)", shown(attribute.variable).c_str(),
                         shown(attribute.name).c_str(), numbers[place.first->second]);
    if (attribute.name == "*SCALAR*")
      metadata.scalars.push_back(attribute.variable);
    metadata.attributes.push_back(std::move(attribute));
    numbers.push_back(number);
  }
  // Attributes may come before the *SCALAR* line that defines their variable.
  for (size_t i = 0; i < metadata.attributes.size(); ++i) {
    const std::string& variable = metadata.attributes[i].variable;
    if (variable != "*GLOBAL*" && variable != "time" && !isReading(variable) &&
        metadata.places.count(placeKey(variable, "*SCALAR*")) == 0)
      return reader.fail(numbers[i], "unknown variable '%s': the variables are *GLOBAL*, time, the readings' "
                                     "column names and the file's *SCALAR* variables", shown(variable).c_str());
  }
  return checkValues(reader, metadata, numbers);
}

}  // namespace hexlog
