#include "store/atomic_file.h"

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "platform/system.h"
#include "store/hex.h"
#include "store/log.h"

namespace qrl {

namespace {

std::string hex(const std::array<std::uint8_t, 32>& digest) {
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) append_hex(text, byte);
  return text;
}

}  // namespace

Status create_directories(const std::string& path) {
  if (path.empty()) return {};
  const auto created = [&] {
    log::line("created the folder " + path);
    return Status{};
  };
  auto made = platform::create_directory(path);
  if (made) return created();
  if (platform::is_not_found(made.error())) {
    // An ancestor is missing: make the chain above first, then try again.
    if (auto above = platform::parent(path)) {
      if (auto chain = create_directories(*above); !chain) return chain;
      made = platform::create_directory(path);
      if (made) return created();
    }
  }
  // "Already exists" (or a concurrent creator winning the race) is fine as long
  // as what stands there now is a directory.
  if (auto info = platform::info_following(path); info && info->is_directory) return {};
  return fail(made.error());
}

bool is_write_temp_name(std::string_view name) {
  constexpr std::string_view kPrefix = ".qrl-write-";
  constexpr std::string_view kSuffix = ".tmp";
  return name.size() == kPrefix.size() + 36 + kSuffix.size() && name.starts_with(kPrefix) &&
         name.ends_with(kSuffix);
}

void remove_write_leftovers(const platform::Folder& folder) {
  auto entries = folder.list();
  if (!entries) return;
  for (const platform::DirEntry& entry : *entries) {
    if (entry.info.is_directory || !is_write_temp_name(entry.name)) continue;
    log::file_step("deleted what a killed write left:", folder.path_of(entry.name),
                   folder.delete_file(entry.name));
  }
}

Result<std::string> unique_temp_name() {
  std::array<std::uint8_t, 16> bytes{};
  if (auto drawn = platform::random_bytes(bytes); !drawn) return fail(drawn.error());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 10

  std::string name = ".qrl-write-";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name.push_back('-');
    append_hex(name, bytes[i]);
  }
  name += ".tmp";
  return name;
}

namespace {

// Why an atomic write failed: one of its own steps (a Fault), or reading the
// source it copies (that read's own error).
using WriteFailure = std::variant<Fault, Error>;

// The steps that every write through a unique temporary file shares: the
// unique name, the file created new, `fill` writing the content into it, the
// flush, the move over the target with write-through, and after a failure the
// removal of the temporary file, so that the target is either untouched or
// whole.
template <class Fill>
Expected<void, WriteFailure> write_via_unique_temp(const platform::Folder& folder,
                                                   std::string_view target, platform::FileMode mode,
                                                   Fill fill) {
  auto name = unique_temp_name();
  if (!name) return std::unexpected(io_fault(name.error()));
  const std::string temp_shown = folder.path_of(*name);

  auto file = folder.create_new_file(*name, mode);
  if (!file) {
    log::line("creating " + temp_shown + " failed: " + file.error().display());
    return std::unexpected(io_fault(file.error()));
  }
  Expected<void, WriteFailure> filled = fill(*file);
  if (filled) {
    if (auto flushed = file->flush(); !flushed) filled = std::unexpected(io_fault(flushed.error()));
  }
  file->close();
  if (!filled) {
    // A partial temporary file is of no use to anybody: remove it so that
    // failed writes do not pile up beside the target.
    log::line("writing " + temp_shown + " failed");
    log::file_step("deleted", temp_shown, folder.delete_file(*name));
    return filled;
  }

  auto moved = folder.rename(*name, target, /*write_through=*/true);
  log::file_step("wrote " + temp_shown + ", moved it over", folder.path_of(target), moved);
  if (!moved) {
    log::file_step("deleted", temp_shown, folder.delete_file(*name));
    return std::unexpected(io_fault(moved.error()));
  }
  return {};
}

}  // namespace

Expected<void, Fault> write_file_atomically(const platform::Folder& folder, std::string_view name,
                                            std::string_view content, platform::FileMode mode) {
  auto written = write_via_unique_temp(
      folder, name, mode, [&](platform::OutputFile& file) -> Expected<void, WriteFailure> {
        if (auto done = file.write_all(content); !done)
          return std::unexpected(io_fault(done.error()));
        return {};
      });
  if (!written) return std::unexpected(std::get<Fault>(written.error()));
  return {};
}

Expected<void, Fault> write_file_atomically(const std::string& target, std::string_view content,
                                            platform::FileMode mode) {
  const auto parent = platform::parent(target);
  if (!parent) return std::unexpected(Fault{kInvalidPath, "没有父目录"});
  if (auto made = create_directories(*parent); !made) {
    return std::unexpected(io_fault(made.error()));
  }
  auto folder = platform::Folder::open(*parent);
  if (!folder) return std::unexpected(io_fault(folder.error()));
  return write_file_atomically(*folder, platform::last_name(target), content, mode);
}

Status copy_file_atomically(const platform::Folder& folder, std::string_view name,
                            platform::InputFile& source, platform::FileMode mode) {
  std::vector<char> buffer(kCopyChunk);
  auto written = write_via_unique_temp(
      folder, name, mode, [&](platform::OutputFile& file) -> Expected<void, WriteFailure> {
        std::uint64_t copied = 0;
        for (;;) {
          auto got = source.read_some(buffer);
          if (!got) return std::unexpected(got.error());
          if (*got == 0) break;
          if (auto done = file.write_all(std::string_view(buffer.data(), *got)); !done) {
            return std::unexpected(io_fault(done.error()));
          }
          copied += *got;
        }
        // Shortened while it was read: what was read is not the file.
        if (copied < source.size_at_open()) return std::unexpected(platform::ended_early());
        return {};
      });
  if (written) return {};
  if (const Fault* fault = std::get_if<Fault>(&written.error())) return fail(fault->to_error());
  return fail(std::get<Error>(written.error()));
}

Status write_file_via_fixed_temp(const platform::Folder& folder, std::string_view temp,
                                 std::string_view target, std::string_view content) {
  auto written = [&]() -> Status {
    // Whatever stands under the fixed name makes way; only a file this call
    // creates anew is written.
    if (auto deleted = folder.delete_file(temp);
        !deleted && !platform::is_not_found(deleted.error())) {
      return deleted;
    }
    auto file = folder.create_new_file(temp, platform::FileMode::kRecord);
    if (!file) return fail(file.error());
    if (auto done = file->write_all(content); !done) return done;
    if (auto flushed = file->flush(); !flushed) return flushed;
    file->close();
    return folder.rename(temp, target, /*write_through=*/false);
  }();
  log::file_step("wrote " + folder.path_of(temp) + ", moved it over", folder.path_of(target),
                 written);
  return written;
}

Status write_file_via_fixed_temp(const std::string& temp, const std::string& target,
                                 std::string_view content) {
  auto folder = platform::Folder::open(platform::parent(target).value_or(""));
  if (!folder) return fail(folder.error());
  return write_file_via_fixed_temp(*folder, platform::last_name(temp), platform::last_name(target),
                                   content);
}

std::string sha256_hex(std::string_view bytes) { return hex(platform::sha256(bytes)); }

namespace {

Result<std::string> sha256_of(platform::InputFile& file, const std::string& shown) {
  platform::Sha256 hash;
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    auto got = file.read_some(buffer);
    if (!got) return fail(got.error());
    if (*got == 0) break;
    hash.update(std::string_view(buffer.data(), *got));
  }
  std::string digest = hex(hash.finish());
  log::line("sha256 " + digest + " " + shown);
  return digest;
}

}  // namespace

Result<std::string> file_sha256(platform::InputFile& file, const std::string& shown) {
  return sha256_of(file, shown);
}

Result<std::string> file_sha256(const std::string& path) {
  auto file = platform::open_for_reading(path);
  if (!file) return fail(file.error());
  return sha256_of(*file, path);
}

Result<std::string> file_sha256(const platform::Folder& folder, std::string_view name) {
  auto file = folder.open_for_reading(name);
  if (!file) return fail(file.error());
  return sha256_of(*file, folder.path_of(name));
}

}  // namespace qrl
