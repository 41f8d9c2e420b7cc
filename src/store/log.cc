#include "store/log.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "platform/files.h"
#include "platform/process.h"
#include "store/hex.h"

namespace qrl::log {

namespace {

// The log of this run, if it has one.
std::optional<platform::OutputFile>& file() {
  static std::optional<platform::OutputFile> opened;
  return opened;
}

// "2026-12-08T09:48:09.123Z": the UTC time to the millisecond.
std::string timestamp() {
  using namespace std::chrono;
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

// The length of the valid UTF-8 sequence that `text` starts with (shortest
// form, no surrogate, at most U+10FFFF); 0 when it starts with none.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // shorter forms
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // shorter forms
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text.front());
    const std::size_t length = c < 0x20 || c == 0x7F ? 0 : utf8_length(text);
    if (length == 0) {
      out += "\\x";
      append_hex(out, c);
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

void open(const std::string& path) {
  auto opened = platform::open_log_file(path);
  if (opened) file() = std::move(*opened);
}

void close() { file().reset(); }

bool enabled() { return file().has_value(); }

void line(std::string_view text) {
  if (!enabled()) return;
  std::string entry = timestamp() + " [" + std::to_string(platform::current_process_id()) + "] ";
  entry += escaped(text);
  entry.push_back('\n');
  // One write, so that lines of runs appending at once do not interleave.
  (void)file()->write_all(entry);
}

void file_step(std::string_view what, const std::string& path, const Status& done) {
  if (!enabled()) return;
  std::string text = std::string(what) + " " + path;
  if (!done) text += " failed: " + done.error().display();
  line(text);
}

std::string shown(std::string_view bytes, std::size_t limit) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      append_hex(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  if (bytes.size() > limit) out += " (" + std::to_string(bytes.size()) + " bytes in all)";
  return out;
}

std::string command_line(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) {
    if (!text.empty()) text += ' ';
    const bool plain = !arg.empty() && arg.find_first_of(" \t\"") == std::string::npos;
    text += plain ? arg : "\"" + arg + "\"";
  }
  return text;
}

void holders_of(const std::string& path) {
  if (!enabled()) return;
  auto holders = platform::processes_holding(path);
  if (!holders) {
    line("who holds " + path + " could not be asked: " + holders.error().display());
    return;
  }
  if (holders->empty()) {
    line("who holds " + path + ": the system names no process");
    return;
  }
  std::string text = "held by:";
  for (const platform::Holder& holder : *holders) {
    text += " " + holder.name + " (pid " + std::to_string(holder.pid) + ")";
  }
  line(path + " " + text);
}

}  // namespace qrl::log
