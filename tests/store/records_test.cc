#include "store/records.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qrl {
namespace {

template <class T>
std::string failure(const Result<T>& result) {
  return result ? "decoded" : result.error().display();
}

Bundle sample_bundle() {
  return Bundle{"1.2.3", std::string(64, 's'), std::string(64, 'a'), std::string(64, 'l')};
}

TEST(Records, EncodesCompactMembersInFieldOrder) {
  EXPECT_EQ(encode(Lease{4242, 133497139200000000}),
            R"({"owner":4242,"started":133497139200000000})");
  EXPECT_EQ(encode(Pair{"app1", "mcp1", std::nullopt}), R"({"app":"app1","mcp":"mcp1"})");
  EXPECT_EQ(encode(Pair{"a", "l", Bundle{"1.2.3", "s", "a", "l"}}),
            R"({"app":"a","mcp":"l","server":{"version":"1.2.3","serverSha256":"s",)"
            R"("appSha256":"a","launcherSha256":"l"}})");
}

TEST(Records, EscapesOnlyWhatJsonRequires) {
  const std::string text = "q\"b\\/é\x01\b\t\n\f\r\x1f\x7f";
  EXPECT_EQ(encode(Pair{text, "", std::nullopt}),
            "{\"app\":\"q\\\"b\\\\/é\\u0001\\b\\t\\n\\f\\r\\u001f\x7f\",\"mcp\":\"\"}");
  const auto decoded = decode_pair(encode(Pair{text, "", std::nullopt}));
  ASSERT_TRUE(decoded) << failure(decoded);
  EXPECT_EQ(decoded->app, text);
}

TEST(Records, RoundTrips) {
  for (const Lease& lease :
       {Lease{4242, 133497139200000000}, Lease{0, 0}, Lease{4294967295u, 18446744073709551615u}}) {
    EXPECT_EQ(decode_lease(encode(lease)), lease);
  }
  EXPECT_EQ(decode_bundle(encode(sample_bundle())), sample_bundle());
  EXPECT_EQ(decode_bundle(encode(Bundle{})), Bundle{});
  for (const Pair& pair : {Pair{"a", "m", std::nullopt}, Pair{"a", "l", sample_bundle()}}) {
    EXPECT_EQ(decode_pair(encode(pair)), pair);
  }
}

TEST(Records, AcceptsAnyOrderUnknownMembersAndBlanks) {
  EXPECT_EQ(decode_lease(R"({"started":7,"owner":4242})"), (Lease{4242, 7}));
  // Unknown members are skipped whatever they hold, repeated keys inside included.
  EXPECT_EQ(decode_lease(R"({"owner":1,"extra":[1,"two",{"k":null,"k":[]}],"started":2})"),
            (Lease{1, 2}));
  EXPECT_EQ(decode_lease(" \t\r\n{\"owner\":1,\"started\":2}\r\n"), (Lease{1, 2}));
  EXPECT_EQ(decode_lease(R"({"owner":-0,"started":2})"), (Lease{0, 2}));

  const auto null_server = decode_pair(R"({"app":"a","mcp":"m","server":null})");
  ASSERT_TRUE(null_server) << failure(null_server);
  EXPECT_FALSE(null_server->server);
  EXPECT_EQ(encode(*null_server), R"({"app":"a","mcp":"m"})");

  const auto nested =
      decode_pair(R"({"server":{"launcherSha256":"l","x":{},"appSha256":"a","serverSha256":"s",)"
                  R"("version":"1.2.3"},"mcp":"l","app":"a"})");
  ASSERT_TRUE(nested) << failure(nested);
  EXPECT_EQ(nested->server, (Bundle{"1.2.3", "s", "a", "l"}));
}

TEST(Records, FixedMessagesCarryThePosition) {
  EXPECT_EQ(failure(decode_lease(R"({"owner":1,"owner":2,"started":3})")),
            "duplicate field `owner` at line 1 column 18");
  EXPECT_EQ(failure(decode_pair(R"({"app":"a","mcp":"m","server":null,"server":null})")),
            "duplicate field `server` at line 1 column 43");
  EXPECT_EQ(failure(decode_bundle(R"({"version":"1.2.3","serverSha256":"s","appSha256":"a"})")),
            "missing field `launcherSha256` at line 1 column 54");
  EXPECT_EQ(failure(decode_pair(R"({"app":"a","mcp":"m","server":{"version":"1"}})")),
            "missing field `serverSha256` at line 1 column 45");
  EXPECT_EQ(failure(decode_lease("{\n  \"owner\": 1\n}")),
            "missing field `started` at line 3 column 1");
  EXPECT_EQ(failure(decode_lease(R"({"owner":1,"started":2}x)")),
            "trailing characters at line 1 column 24");
  EXPECT_EQ(failure(decode_lease("{\"owner\":1,\"started\":2}\n\n  {}")),
            "trailing characters at line 3 column 3");
}

// A failure whose wording is free: the start of the message and its position.
void expect_failure(const std::string& display, const std::string& start,
                    const std::string& position) {
  EXPECT_TRUE(display.starts_with(start)) << display;
  EXPECT_TRUE(display.ends_with(position)) << display;
}

TEST(Records, NumbersAreStrict) {
  EXPECT_EQ(decode_lease(R"({"owner":4294967295,"started":18446744073709551615})"),
            (Lease{4294967295u, 18446744073709551615u}));
  expect_failure(failure(decode_lease(R"({"owner":4294967296,"started":1})")),
                 "invalid value: integer `4294967296`", " at line 1 column 19");
  expect_failure(failure(decode_lease(R"({"owner":1,"started":18446744073709551616})")),
                 "invalid value: integer `18446744073709551616`", " at line 1 column 41");
  expect_failure(failure(decode_lease(R"({"started":1,"owner":-1})")),
                 "invalid value: integer `-1`", " at line 1 column 23");
  expect_failure(failure(decode_lease(R"({"owner":1.5,"started":1})")), "invalid type",
                 " at line 1 column 12");
  expect_failure(failure(decode_lease(R"({"owner":1,"started":1e3})")), "invalid type",
                 " at line 1 column 24");
  expect_failure(failure(decode_lease(R"({"owner":"4242","started":1})")), "invalid type",
                 " at line 1 column 15");
  expect_failure(failure(decode_lease(R"({"owner":null,"started":1})")), "invalid type",
                 " at line 1 column 13");
  expect_failure(failure(decode_bundle(R"({"version":123})")), "invalid type",
                 " at line 1 column 14");
  expect_failure(failure(decode_pair(R"({"app":"a","mcp":"m","server":[]})")), "invalid type",
                 " at line 1 column 31");
}

TEST(Records, NestingIsLimitedTo128Levels) {
  const std::string head = R"({"owner":1,"started":2,"skipped":)";
  // The record object is level 1, so 127 brackets reach level 128.
  const auto nested = [&](std::size_t levels) {
    return head + std::string(levels, '[') + std::string(levels, ']') + "}";
  };
  EXPECT_EQ(decode_lease(nested(127)), (Lease{1, 2}));
  expect_failure(failure(decode_lease(nested(128))), "recursion limit exceeded",
                 " at line 1 column " + std::to_string(head.size() + 128));
}

TEST(Records, SizeIsBoundedFarAboveAnyRecordWritten) {
  // Blanks may follow a record; up to the bound, 64 KiB, it still decodes.
  const std::string lease = encode(Lease{1, 2});
  const std::string at_bound = lease + std::string(64 * 1024 - lease.size(), ' ');
  EXPECT_EQ(decode_lease(at_bound), (Lease{1, 2}));
  EXPECT_EQ(failure(decode_lease(at_bound + " ")), kRecordTooLarge);
  EXPECT_EQ(failure(decode_pair(std::string(64 * 1024 + 1, '{'))), kRecordTooLarge);
}

TEST(Records, MalformedInput) {
  // The whole line: what was unfinished, or the parser's description without
  // its prefixes, then the position.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"owner":4242,"started":1)", "EOF while parsing an object at line 1 column 25"},
      {R"({"owner":1,"x":[1)", "EOF while parsing a list at line 1 column 17"},
      {R"({"owner":"42)", "EOF while parsing a string at line 1 column 12"},
      {R"({"owner":)", "EOF while parsing a value at line 1 column 9"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"owner":1 "started":2})", "unexpected string literal; expected '}' at line 1 column 20"},
      {R"({"owner":tru})", "invalid literal at line 1 column 13"},
  };
  for (const auto& [input, line] : cases) EXPECT_EQ(failure(decode_lease(input)), line) << input;
  expect_failure(failure(decode_lease("[4242,1]")), "invalid type", " at line 1 column 1");
  expect_failure(failure(decode_lease("4242")), "invalid type", " at line 1 column 4");
  expect_failure(failure(decode_lease("\xEF\xBB\xBF{\"owner\":1,\"started\":2}")), "",
                 " at line 1 column 1");
}

}  // namespace
}  // namespace qrl
