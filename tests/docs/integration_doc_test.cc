// docs/integration.md lists the program's exit statuses and fixed lines and
// quotes the NSIS example: these checks keep the guide in step with both.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/entry.h"
#include "cli/failure.h"
#include "cli/messages.h"
#include "lease/lease.h"
#include "mcp/layout.h"
#include "mcp/payload.h"
#include "platform/files.h"
#include "update/pair.h"
#include "update/prepare.h"

namespace qrl {
namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = QRL_SOURCE_DIR;

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << path;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string guide() { return read(kSourceDir / "docs" / "integration.md"); }

// Every fixed line of the program with the exit status it comes with (the
// warning of a successful verify: 0).
struct FixedLine {
  const char* name;
  int status;
  const char* text;
};
const FixedLine kFixedLines[] = {
    {"kMsgAppRunning", kExitAppRunning, kMsgAppRunning},
    {"kMsgLauncherMustBeReplaced", kExitLauncherMustChange, kMsgLauncherMustBeReplaced},
    {"kMsgNoCoordination", kExitNoCoordination, kMsgNoCoordination},
    {"kMsgTimeout", kExitNoCoordination, kMsgTimeout},
    {"kMsgOtherInstallRunning", kExitFailure, kMsgOtherInstallRunning},
    {"kMsgInstallerExited", kExitFailure, kMsgInstallerExited},
    {"kMsgLeaseNotOwned", kExitFailure, kMsgLeaseNotOwned},
    {"kMsgCannotCancelOther", kExitFailure, kMsgCannotCancelOther},
    {"kMsgPlainMismatch", kExitFailure, kMsgPlainMismatch},
    {"kMsgLauncherMismatch", kExitFailure, kMsgLauncherMismatch},
    {"kMsgVersionInUse", kExitFailure, kMsgVersionInUse},
    {"kMsgChangedLauncherInUse", kExitFailure, kMsgChangedLauncherInUse},
    {"kMsgDisconnectBeforeUninstall", kExitFailure, kMsgDisconnectBeforeUninstall},
    {"kMsgInvalidVersion", kExitFailure, kMsgInvalidVersion},
    {"kMsgMcpDirIsLink", kExitFailure, kMsgMcpDirIsLink},
    {"kMsgMcpDirEscapes", kExitFailure, kMsgMcpDirEscapes},
    {"kMsgUnknownCommand", kExitFailure, kMsgUnknownCommand},
    {"kMsgOutOfMemory", kExitFailure, kMsgOutOfMemory},
    {"kMsgNotRegularFile", kExitFailure, platform::kMsgNotRegularFile},
    {"kMsgPruneWarning", 0, kMsgPruneWarning},
};

// The names that `pattern` defines anywhere under src/, so that a constant
// added to the program and left out of the lists above is noticed.
std::set<std::string> defined_names(const std::string& pattern) {
  std::set<std::string> names;
  const std::regex definition("\\b(" + pattern + ")\\s*=");
  for (const auto& entry : fs::recursive_directory_iterator(kSourceDir / "src")) {
    if (!entry.is_regular_file()) continue;
    const std::string code = read(entry.path());
    for (std::sregex_iterator it(code.begin(), code.end(), definition), end; it != end; ++it) {
      names.insert((*it)[1]);
    }
  }
  return names;
}

// The cells of the table between "<!-- NAME:begin -->" and "<!-- NAME:end -->",
// heading and rule left out; backquotes around a cell are removed.
std::vector<std::vector<std::string>> table(const std::string& doc, const std::string& name) {
  const std::string begin = "<!-- " + name + ":begin -->";
  const std::size_t from = doc.find(begin);
  const std::size_t to = doc.find("<!-- " + name + ":end -->");
  EXPECT_NE(from, std::string::npos) << begin;
  EXPECT_NE(to, std::string::npos) << name;
  if (from == std::string::npos || to == std::string::npos || to < from) return {};

  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(doc.substr(from + begin.size(), to - from - begin.size()));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("|") || line.starts_with("|---")) continue;
    std::vector<std::string> cells;
    for (std::size_t at = 1, bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1) {
      std::string cell = line.substr(at, bar - at);
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
      if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') {
        cell = cell.substr(1, cell.size() - 2);
      }
      cells.push_back(cell);
    }
    rows.push_back(std::move(cells));
  }
  if (!rows.empty()) rows.erase(rows.begin());  // the heading
  return rows;
}

TEST(IntegrationGuide, ListsExactlyTheExitStatuses) {
  std::vector<int> listed;
  for (const auto& row : table(guide(), "exit-statuses")) listed.push_back(std::stoi(row.at(0)));
  EXPECT_EQ(listed, (std::vector<int>{0, kExitAppRunning, kExitLauncherMustChange,
                                      kExitNoCoordination, kExitFailure}));
  EXPECT_EQ(defined_names("kExit\\w+"),
            (std::set<std::string>{"kExitAppRunning", "kExitLauncherMustChange",
                                   "kExitNoCoordination", "kExitFailure"}));
}

TEST(IntegrationGuide, ListsExactlyTheFixedLinesWithTheirStatus) {
  std::multiset<std::pair<int, std::string>> listed;
  for (const auto& row : table(guide(), "messages")) {
    listed.emplace(std::stoi(row.at(0)), row.at(1));
  }
  std::multiset<std::pair<int, std::string>> program;
  std::set<std::string> names;
  for (const FixedLine& line : kFixedLines) {
    program.emplace(line.status, line.text);
    names.insert(line.name);
  }
  EXPECT_EQ(listed, program);
  EXPECT_EQ(defined_names("kMsg\\w+"), names);
}

// The NSIS code in the guide is taken from the example that the tests run.
TEST(IntegrationGuide, QuotesTheNsisExampleVerbatim) {
  const std::string doc = guide();
  const std::string example = read(kSourceDir / "examples" / "nsis" / "quarlo.nsi");
  const std::string fence = "```nsis\n";
  int quoted = 0;
  for (std::size_t at = doc.find(fence); at != std::string::npos; at = doc.find(fence, at)) {
    at += fence.size();
    const std::size_t end = doc.find("```", at);
    ASSERT_NE(end, std::string::npos);
    const std::string block = doc.substr(at, end - at);
    EXPECT_NE(example.find(block), std::string::npos) << "not in quarlo.nsi:\n" << block;
    ++quoted;
  }
  EXPECT_GT(quoted, 0);
}

// The installer's exit codes for deployment tools: the table, the example's
// defines and the winget entries name the same codes, and 10, 11 and 12 are
// the program's statuses that the user can resolve.
TEST(IntegrationGuide, ListsTheInstallerExitCodesOfTheExample) {
  const std::string doc = guide();
  std::set<int> listed;
  for (const auto& row : table(doc, "installer-exit-codes")) listed.insert(std::stoi(row.at(0)));
  const std::set<int> retried = {kExitAppRunning, kExitLauncherMustChange, kExitNoCoordination};
  std::set<int> expected = retried;
  expected.insert(kExitFailure);
  EXPECT_EQ(listed, expected);

  const std::string example = read(kSourceDir / "examples" / "nsis" / "quarlo.nsi");
  const std::regex define("!define EXIT_\\w+ (\\d+)");
  std::set<int> defined;
  for (std::sregex_iterator it(example.begin(), example.end(), define), end; it != end; ++it) {
    defined.insert(std::stoi((*it)[1]));
  }
  EXPECT_EQ(defined, expected);

  const std::regex winget("InstallerReturnCode: (\\d+)\\n    ReturnResponse: packageInUse");
  std::set<int> in_use;
  for (std::sregex_iterator it(doc.begin(), doc.end(), winget), end; it != end; ++it) {
    in_use.insert(std::stoi((*it)[1]));
  }
  EXPECT_EQ(in_use, retried);
}

// Every custom message that the Inno Setup code uses has a text in every
// language of its [Languages] section.
TEST(IntegrationGuide, InnoRecipeHasEveryMessageInEveryLanguage) {
  const std::string doc = guide();
  const std::size_t from = doc.find("```iss\n");
  ASSERT_NE(from, std::string::npos);
  const std::string iss = doc.substr(from, doc.find("```", from + 6) - from);
  auto matches = [&iss](const std::string& pattern) {
    std::set<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator it(iss.begin(), iss.end(), re), end; it != end; ++it) {
      found.insert((*it)[1]);
    }
    return found;
  };
  const auto languages = matches("\\nName: \"(\\w+)\"; MessagesFile:");
  const auto used = matches("(?:CustomMessage\\('|\\{cm:)(\\w+)");
  EXPECT_GE(languages.size(), 2u);
  EXPECT_GE(used.size(), 5u);
  for (const auto& language : languages) {
    EXPECT_EQ(matches("\\n" + language + "\\.(\\w+)="), used) << language;
  }
}

}  // namespace
}  // namespace qrl
