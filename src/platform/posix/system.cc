// Errors, process entry, paths, randomness and digests on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/posix/utf8.h"
#include "platform/system.h"

namespace qrl::platform {

std::string os_error_text(int code) {
  // The GNU strerror_r returns the text, which may or may not be in `buffer`.
  // The program never calls setlocale, so the text is the C locale's.
  char buffer[256];
  std::string text = ::strerror_r(code, buffer, sizeof buffer);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r' || text.back() == '\v' || text.back() == '\f')) {
    text.pop_back();
  }
  return text + " (os error " + std::to_string(code) + ")";
}

Status guard_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: `fd` itself, since those below it are open.
    // Inherited like any standard stream, so without O_CLOEXEC.
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) return fail(Error::os(errno));
    if (null != fd) {
      const bool moved = ::dup2(null, fd) == fd;
      const int error = errno;
      ::close(null);
      if (!moved) return fail(Error::os(error));
    }
  }
  return {};
}

ProcessStart start_process() {
  if (!guard_standard_streams()) return ProcessStart{.usable = false, .log_note = {}};
  ::signal(SIGPIPE, SIG_IGN);
  return {};
}

bool is_not_found(const Error& error) {
  const std::optional<int> code = error.os_code();
  return code && (*code == ENOENT || *code == ENOTDIR);
}

Result<std::vector<std::string>> arguments(int argc, char** argv) {
  std::vector<std::string> result;
  result.reserve(static_cast<std::size_t>(argc > 0 ? argc : 0));
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    if (!posix::is_valid_utf8(argument)) {
      return fail("命令行参数不是有效的 Unicode 文本");
    }
    result.push_back(std::move(argument));
  }
  return result;
}

void write_error_line(std::string_view line) {
  std::string bytes(line);
  bytes.push_back('\n');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing more can be done about a failing stderr
    done += static_cast<std::size_t>(n);
  }
}

std::string join(std::string_view base, std::string_view name) {
  std::string result(base);
  if (!result.empty() && result.back() != '/') result.push_back('/');
  result.append(name);
  return result;
}

std::optional<std::string> parent(std::string_view path) {
  // Trailing separators do not make a component: "a/b/" is "a/b".
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return std::nullopt;  // empty, or a bare root such as "/" or "///"
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return std::string();  // a single relative name
  // The separators between the parent and the last name belong to neither.
  std::size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return std::string("/");  // the parent is the root
  return std::string(path.substr(0, parent_end));
}

std::string last_name(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
  const std::size_t start = slash == std::string_view::npos || end == 0 ? 0 : slash + 1;
  return std::string(path.substr(start, end - start));
}

Status random_bytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::os(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

namespace {

EVP_MD_CTX* context(void* state) { return static_cast<EVP_MD_CTX*>(state); }

}  // namespace

Sha256::Sha256() {
  EVP_MD_CTX* created = ::EVP_MD_CTX_new();
  // Only allocation can fail here; it ends the run like any failed allocation.
  if (created == nullptr) throw std::bad_alloc();
  state_ = created;
  if (::EVP_DigestInit_ex(created, ::EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() { ::EVP_MD_CTX_free(context(state_)); }

void Sha256::update(std::string_view bytes) {
  if (::EVP_DigestUpdate(context(state_), bytes.data(), bytes.size()) != 1) std::abort();
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (::EVP_DigestFinal_ex(context(state_), digest.data(), &length) != 1 ||
      length != digest.size()) {
    std::abort();
  }
  return digest;
}

}  // namespace qrl::platform
