#include "store/json_reader.h"

#include "store/hex.h"

#include "store/json_position.h"

#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

namespace qrl::json_reader {

namespace {

// When `text` begins with `head`, removes everything up to and including the
// first `separator`.
void strip_through(std::string& text, std::string_view head, std::string_view separator) {
  if (!text.starts_with(head)) return;
  if (const auto at = text.find(separator); at != std::string::npos) {
    text.erase(0, at + separator.size());
  }
}

// ---------------------------------------------------------------------------
// Decoding: the reader

using json = nlohmann::json;

// One scalar value as the parser reported it.
struct Scalar {
  enum class Type { kNull, kBool, kNegative, kUnsigned, kFloat, kString };
  Type type = Type::kNull;
  bool flag = false;
  std::int64_t negative = 0;
  std::uint64_t unsigned_value = 0;
  const std::string* text = nullptr;  // a string's value, a float's literal text
  std::size_t end = 0;                // offset just past the value
};

std::string describe(const Scalar& value) {
  switch (value.type) {
    case Scalar::Type::kNull:
      return "null";
    case Scalar::Type::kBool:
      return value.flag ? "boolean `true`" : "boolean `false`";
    case Scalar::Type::kNegative:
      return "integer `" + std::to_string(value.negative) + "`";
    case Scalar::Type::kUnsigned:
      return "integer `" + std::to_string(value.unsigned_value) + "`";
    case Scalar::Type::kFloat:
      return "floating point `" + *value.text + "`";
    case Scalar::Type::kString: {
      std::string out = "string ";
      append_json_string(out, *value.text);
      return out;
    }
  }
  return "value";
}

// An integer literal too large for the parser's integer types arrives as a
// floating-point number; its text still tells that it was written as an integer.
bool is_integer_literal(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string expectation(const Field& field) {
  switch (field.kind) {
    case Kind::kU32:
      return "u32";
    case Kind::kU64:
      return "u64";
    case Kind::kString:
      return "a string";
    case Kind::kRecord:
      return "struct " + std::string(field.nested->name);
  }
  return "a value";
}

// Receives the parser's events and checks them against the record's schema as
// they arrive, so that the first offence stops the parse with its position.
class RecordReader {
 public:
  RecordReader(const Schema& schema, std::string_view input, const Consumed& consumed)
      : schema_(schema), input_(input), consumed_(consumed) {}

  // Events of the parser.
  bool null() { return on_scalar(scalar(Scalar::Type::kNull, exact_end())); }
  bool boolean(bool flag) {
    Scalar value = scalar(Scalar::Type::kBool, exact_end());
    value.flag = flag;
    return on_scalar(value);
  }
  bool number_integer(json::number_integer_t number) {
    Scalar value = scalar(Scalar::Type::kNegative, number_end());
    value.negative = number;
    return on_scalar(value);
  }
  bool number_unsigned(json::number_unsigned_t number) {
    Scalar value = scalar(Scalar::Type::kUnsigned, number_end());
    value.unsigned_value = number;
    return on_scalar(value);
  }
  bool number_float(json::number_float_t, const json::string_t& literal) {
    Scalar value = scalar(Scalar::Type::kFloat, number_end());
    value.text = &literal;
    return on_scalar(value);
  }
  bool string(json::string_t& text) {
    Scalar value = scalar(Scalar::Type::kString, exact_end());
    value.text = &text;
    return on_scalar(value);
  }
  bool binary(json::binary_t&) { return fail_at("unexpected binary value", exact_end()); }
  bool start_object(std::size_t) { return on_open('{'); }
  bool start_array(std::size_t) { return on_open('['); }
  bool end_array() { return on_close(); }
  bool end_object() { return on_close(); }
  bool key(json::string_t& name) {
    if (skip_level_ != 0) return true;
    Values& record = *open_.back();
    const auto fields = record.schema->fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].key != name) continue;
      if (record.seen[i]) {
        return fail_at("duplicate field `" + std::string(fields[i].key) + "`", exact_end());
      }
      record.seen[i] = true;
      record.expect = Values::Expect::kField;
      record.field = i;
      return true;
    }
    record.expect = Values::Expect::kSkip;
    return true;
  }
  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& problem) {
    if (position > input_.size()) {
      error_ = Error::text(eof_message(problem) + position_suffix(input_, input_.size()));
    } else {
      error_ = Error::text(syntax_message(problem, last_token) + position_suffix(input_, position));
    }
    return false;
  }

  // After a successful parse: the finished record.
  std::unique_ptr<Values> take() { return std::move(done_); }
  // After a failed parse: why it stopped.
  Error error() const { return error_.value_or(Error::text("invalid record")); }

 private:
  Scalar scalar(Scalar::Type type, std::size_t end) const {
    Scalar value;
    value.type = type;
    value.end = end;
    return value;
  }

  // Strings, literals and brackets end exactly where the parser stopped taking
  // bytes. A number is only known to be complete once the character after it
  // has been taken; when the input did not end there, that one is not part of it.
  std::size_t exact_end() const { return consumed_.count; }
  std::size_t number_end() const {
    if (consumed_.reached_end || consumed_.count == 0) return consumed_.count;
    return consumed_.count - 1;
  }

  bool fail_at(const std::string& message, std::size_t offset) {
    error_ = Error::text(message + position_suffix(input_, offset));
    return false;
  }

  bool on_scalar(const Scalar& value) {
    if (skip_level_ != 0) return true;
    if (open_.empty()) {
      return fail_at(
          "invalid type: " + describe(value) + ", expected struct " + std::string(schema_.name),
          value.end);
    }
    Values& record = *open_.back();
    if (record.expect == Values::Expect::kSkip) {
      record.expect = Values::Expect::kKey;
      return true;
    }
    record.expect = Values::Expect::kKey;
    const std::size_t index = record.field;
    const Field& field = record.schema->fields[index];
    const Kind kind = field.kind;
    const auto mismatch = [&] {
      return fail_at("invalid type: " + describe(value) + ", expected " + expectation(field),
                     value.end);
    };
    switch (kind) {
      case Kind::kU32:
      case Kind::kU64: {
        const std::uint64_t limit = kind == Kind::kU32 ? std::numeric_limits<std::uint32_t>::max()
                                                       : std::numeric_limits<std::uint64_t>::max();
        const auto out_of_range = [&](const std::string& literal) {
          return fail_at("invalid value: integer `" + literal + "`, expected " + expectation(field),
                         value.end);
        };
        if (value.type == Scalar::Type::kUnsigned) {
          if (value.unsigned_value > limit)
            return out_of_range(std::to_string(value.unsigned_value));
          record.numbers[index] = value.unsigned_value;
          return true;
        }
        if (value.type == Scalar::Type::kNegative) {
          // "-0" is read as a signed zero; it is the number zero all the same.
          if (value.negative != 0) return out_of_range(std::to_string(value.negative));
          record.numbers[index] = 0;
          return true;
        }
        if (value.type == Scalar::Type::kFloat && is_integer_literal(*value.text)) {
          return out_of_range(*value.text);
        }
        return mismatch();
      }
      case Kind::kString:
        if (value.type != Scalar::Type::kString) return mismatch();
        record.texts[index] = *value.text;
        return true;
      case Kind::kRecord:
        // A null nested record is the same as an absent one.
        if (value.type != Scalar::Type::kNull) return mismatch();
        return true;
    }
    return mismatch();
  }

  bool on_open(char bracket) {
    containers_.push_back(bracket);
    if (containers_.size() > kMaxDepth) return fail_at("recursion limit exceeded", exact_end());
    if (skip_level_ != 0) return true;
    const std::string what = bracket == '{' ? "map" : "sequence";
    if (open_.empty()) {
      if (bracket != '{') {
        return fail_at("invalid type: " + what + ", expected struct " + std::string(schema_.name),
                       exact_end());
      }
      open_.push_back(std::make_unique<Values>(schema_));
      return true;
    }
    Values& record = *open_.back();
    if (record.expect == Values::Expect::kSkip) {
      record.expect = Values::Expect::kKey;
      skip_level_ = containers_.size();
      return true;
    }
    const Field& field = record.schema->fields[record.field];
    if (field.kind == Kind::kRecord && bracket == '{') {
      // The parent keeps Expect::kField so that the closed record is attached
      // to this member.
      open_.push_back(std::make_unique<Values>(*field.nested));
      return true;
    }
    return fail_at("invalid type: " + what + ", expected " + expectation(field), exact_end());
  }

  bool on_close() {
    containers_.pop_back();
    if (skip_level_ != 0) {
      if (containers_.size() < skip_level_) skip_level_ = 0;
      return true;
    }
    // Only record objects are open outside skipped values.
    std::unique_ptr<Values> finished = std::move(open_.back());
    open_.pop_back();
    const auto fields = finished->schema->fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required && !finished->seen[i]) {
        return fail_at("missing field `" + std::string(fields[i].key) + "`", exact_end());
      }
    }
    if (open_.empty()) {
      done_ = std::move(finished);
    } else {
      Values& parent = *open_.back();
      parent.nested[parent.field] = std::move(finished);
      parent.expect = Values::Expect::kKey;
    }
    return true;
  }

  // What was being read when the input ended. The parser names the unfinished
  // token in its message ("invalid string: ...") and says whether a value was
  // expected; otherwise the innermost open container tells.
  std::string eof_message(const nlohmann::detail::exception& problem) const {
    const std::string_view text = problem.what();
    if (text.find("- invalid string") != std::string_view::npos)
      return "EOF while parsing a string";
    if (text.find("while parsing value") != std::string_view::npos || containers_.empty()) {
      return "EOF while parsing a value";
    }
    return containers_.back() == '{' ? "EOF while parsing an object" : "EOF while parsing a list";
  }

  // The parser's own description of a syntax error, without its prefixes and
  // without the echo of the input bytes.
  static std::string syntax_message(const nlohmann::detail::exception& problem,
                                    const std::string& last_token) {
    std::string text = problem.what();
    strip_through(text, "[json.exception.", "] ");
    strip_through(text, "parse error", ": ");
    strip_through(text, "syntax error", " - ");
    const std::string echo = "; last read: '" + last_token + "'";
    if (const auto at = text.find(echo); at != std::string::npos) text.erase(at, echo.size());
    return text;
  }

  const Schema& schema_;
  std::string_view input_;
  const Consumed& consumed_;
  std::string containers_;      // '{' or '[' for each open container
  std::size_t skip_level_ = 0;  // non-zero: inside a skipped value opened at this level
  std::vector<std::unique_ptr<Values>> open_;  // records being read, innermost last
  std::unique_ptr<Values> done_;
  std::optional<Error> error_;
};

}  // namespace

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

Result<std::unique_ptr<Values>> decode_object(std::string_view bytes, const Schema& schema) {
  // A byte-order mark is not JSON (the parser would pass over it quietly).
  if (!bytes.empty() && static_cast<unsigned char>(bytes.front()) == 0xEF) {
    return fail("expected value" + position_suffix(bytes, 1));
  }
  Consumed consumed;
  consumed.begin = bytes.data();
  RecordReader reader(schema, bytes, consumed);
  const TrackingIterator first(bytes.data(), &consumed);
  const TrackingIterator last(bytes.data() + bytes.size(), &consumed);
  if (!json::sax_parse(first, last, &reader, json::input_format_t::json, /*strict=*/false)) {
    return fail(reader.error());
  }
  // The parser stops right after the closing brace; only blanks may follow.
  for (std::size_t at = consumed.count; at < bytes.size(); ++at) {
    if (!is_blank(bytes[at])) return fail("trailing characters" + position_suffix(bytes, at + 1));
  }
  return reader.take();
}

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          append_hex(out, static_cast<std::uint8_t>(byte));
        } else {
          out.push_back(c);
        }
      }
    }
  }
  out.push_back('"');
}

}  // namespace qrl::json_reader
