#include "store/records.h"

#include "platform/system.h"

#include <memory>

#include "store/json_reader.h"

namespace qrl {

namespace {

// ---------------------------------------------------------------------------
// Encoding

// Appends `"key":` preceded by a comma unless it is the object's first member.
void append_key(std::string& out, std::string_view key) {
  if (out.back() != '{') out.push_back(',');
  json_reader::append_json_string(out, key);
  out.push_back(':');
}

void append_text_member(std::string& out, std::string_view key, std::string_view value) {
  append_key(out, key);
  json_reader::append_json_string(out, value);
}

// ---------------------------------------------------------------------------
// Decoding: what each record looks like

using json_reader::Field;
using json_reader::Kind;
using json_reader::Schema;
using json_reader::Values;

constexpr Field kLeaseFields[] = {
    {"owner", Kind::kU32, true},
    {"started", Kind::kU64, true},
};
constexpr Field kBundleFields[] = {
    {"version", Kind::kString, true},
    {"serverSha256", Kind::kString, true},
    {"appSha256", Kind::kString, true},
    {"launcherSha256", Kind::kString, true},
};
constexpr Schema kLeaseSchema{"Lease", kLeaseFields};
constexpr Schema kBundleSchema{"Bundle", kBundleFields};
constexpr Field kPairFields[] = {
    {"app", Kind::kString, true},
    {"mcp", Kind::kString, true},
    {"server", Kind::kRecord, false, &kBundleSchema},
};
constexpr Schema kPairSchema{"Pair", kPairFields};

Result<std::unique_ptr<Values>> decode_record(std::string_view bytes, const Schema& schema) {
  // Far beyond any record the program writes: not parsed at all.
  if (bytes.size() > kMaxRecordSize) return fail(kRecordTooLarge);
  return json_reader::decode_object(bytes, schema);
}

Bundle to_bundle(const Values& values) {
  return Bundle{values.texts[0], values.texts[1], values.texts[2], values.texts[3]};
}

}  // namespace

std::string encode(const Lease& lease) {
  std::string out = "{";
  append_key(out, "owner");
  out += std::to_string(lease.owner);
  append_key(out, "started");
  out += std::to_string(lease.started);
  out.push_back('}');
  return out;
}

std::string encode(const Bundle& bundle) {
  std::string out = "{";
  append_text_member(out, "version", bundle.version);
  append_text_member(out, "serverSha256", bundle.server_sha256);
  append_text_member(out, "appSha256", bundle.app_sha256);
  append_text_member(out, "launcherSha256", bundle.launcher_sha256);
  out.push_back('}');
  return out;
}

std::string encode(const Pair& pair) {
  std::string out = "{";
  append_text_member(out, "app", pair.app);
  append_text_member(out, "mcp", pair.mcp);
  if (pair.server) {
    append_key(out, "server");
    out += encode(*pair.server);
  }
  out.push_back('}');
  return out;
}

Result<std::string> read_record(const platform::Folder& folder, std::string_view name) {
  return folder.read_file(name, kMaxRecordSize + 1);
}

Result<std::optional<std::string>> read_record_if_present(const platform::Folder& folder,
                                                          std::string_view name) {
  auto bytes = read_record(folder, name);
  if (bytes) return std::optional<std::string>(std::move(*bytes));
  if (platform::is_not_found(bytes.error())) return std::optional<std::string>();
  return fail(bytes.error());
}

Result<Lease> decode_lease(std::string_view bytes) {
  auto values = decode_record(bytes, kLeaseSchema);
  if (!values) return fail(values.error());
  return Lease{static_cast<std::uint32_t>((*values)->numbers[0]), (*values)->numbers[1]};
}

Result<Bundle> decode_bundle(std::string_view bytes) {
  auto values = decode_record(bytes, kBundleSchema);
  if (!values) return fail(values.error());
  return to_bundle(**values);
}

Result<Pair> decode_pair(std::string_view bytes) {
  auto values = decode_record(bytes, kPairSchema);
  if (!values) return fail(values.error());
  const Values& read = **values;
  Pair pair{read.texts[0], read.texts[1], std::nullopt};
  if (read.nested[2]) pair.server = to_bundle(*read.nested[2]);
  return pair;
}

}  // namespace qrl
