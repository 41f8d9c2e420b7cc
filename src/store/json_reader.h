// The reader of the records' JSON: it takes the parser's events one by one and
// checks them against the record's schema as they arrive, so that the first
// offence stops the parse, reported with its line and column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qrl::json_reader {

// What a member's value must be.
enum class Kind { kU32, kU64, kString, kRecord };

struct Schema;

struct Field {
  std::string_view key;
  Kind kind;
  bool required;
  const Schema* nested = nullptr;  // the schema of a Kind::kRecord member
};

struct Schema {
  std::string_view name;  // as in "expected struct Lease"
  std::span<const Field> fields;
};

// The deepest nesting accepted, the record object itself being level 1.
constexpr std::size_t kMaxDepth = 128;

// The members of one record object as they were read, by field index.
struct Values {
  explicit Values(const Schema& s)
      : schema(&s),
        seen(s.fields.size()),
        texts(s.fields.size()),
        numbers(s.fields.size()),
        nested(s.fields.size()) {}

  // What the next value event means inside this object.
  enum class Expect { kKey, kField, kSkip };

  const Schema* schema;
  std::vector<bool> seen;
  std::vector<std::string> texts;
  std::vector<std::uint64_t> numbers;
  std::vector<std::unique_ptr<Values>> nested;
  Expect expect = Expect::kKey;
  std::size_t field = 0;  // the member whose value comes next (Expect::kField)
};

// Decodes `bytes` as one object of `schema`. Errors are fixed texts ending in
// " at line L column C".
Result<std::unique_ptr<Values>> decode_object(std::string_view bytes, const Schema& schema);

// Appends `text` as a JSON string: quoted, with the quotation mark, the
// backslash and the control characters escaped, everything else as it is.
void append_json_string(std::string& out, std::string_view text);

}  // namespace qrl::json_reader
