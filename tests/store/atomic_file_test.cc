#include "store/atomic_file.h"

#include <gtest/gtest.h>

#include "platform/folder.h"
#include "platform/system.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/limits.h"
#include "support/support.h"

namespace qrl {
namespace {

using test::list_names;
using test::read_file;
using test::TempDir;

// The display text of a failed write, or "ok".
std::string outcome(const std::expected<void, Fault>& result) {
  return result ? "ok" : result.error().display();
}

bool has_write_temp(const std::string& dir) {
  for (const auto& name : list_names(dir)) {
    if (name.starts_with(".qrl-write-")) return true;
  }
  return false;
}

TEST(AtomicFile, CreatesMissingParentChain) {
  TempDir dir;
  const std::string target = dir / "a/b/c/record.json";
  ASSERT_EQ(outcome(write_file_atomically(target, "hello")), "ok");
  EXPECT_EQ(read_file(target), "hello");
  EXPECT_EQ(list_names(dir / "a/b/c"), std::vector<std::string>{"record.json"});
}

TEST(AtomicFile, TargetWithoutParentIsRefused) {
  const std::string root = test::on_windows() ? "C:\\" : "/";
  for (const std::string& target : {root, std::string()}) {
    SCOPED_TRACE("target [" + target + "]");
    const auto result = write_file_atomically(target, "x");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, kInvalidPath);
    EXPECT_EQ(result.error().display(), "INVALID_PATH: 没有父目录");
    EXPECT_FALSE(has_write_temp(root));
  }
}

TEST(AtomicFile, ReplacesContentAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string target = dir / "record.json";
  ASSERT_EQ(outcome(write_file_atomically(target, "first version")), "ok");
  ASSERT_EQ(outcome(write_file_atomically(target, "second")), "ok");
  EXPECT_EQ(read_file(target), "second");
  // Empty content still replaces the file, with one of length zero.
  ASSERT_EQ(outcome(write_file_atomically(target, "")), "ok");
  EXPECT_EQ(read_file(target), "");
  EXPECT_EQ(list_names(dir.path()), std::vector<std::string>{"record.json"});
}

TEST(AtomicFile, UniqueTempNamesAreFreshVersion4Uuids) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const auto name = unique_temp_name();
    ASSERT_TRUE(name) << name.error().display();
    SCOPED_TRACE(*name);
    ASSERT_EQ(name->size(), 51u);
    ASSERT_TRUE(name->starts_with(".qrl-write-"));
    ASSERT_TRUE(name->ends_with(".tmp"));
    const std::string uuid = name->substr(11, 36);
    for (std::size_t at = 0; at < uuid.size(); ++at) {
      if (at == 8 || at == 13 || at == 18 || at == 23) {
        EXPECT_EQ(uuid[at], '-');
      } else {
        EXPECT_NE(std::string("0123456789abcdef").find(uuid[at]), std::string::npos);
      }
    }
    EXPECT_EQ(uuid[14], '4');                                          // version nibble
    EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos);  // variant bits 10
    seen.insert(*name);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(AtomicFile, SweepRemovesOnlyNamesWithEveryTraitOfALeftover) {
  // A leftover has the prefix, the suffix and the length (51) of a unique
  // temporary name; a name with only two of the three is somebody else's.
  const std::string uuid = "0123abcd-0000-4000-8000-0123456789ab";
  const std::string leftover = ".qrl-write-" + uuid + ".tmp";
  const std::vector<std::string> kept = {
      ".qrl-write-" + uuid + ".bak",            // prefix and length
      ".qrl-other-" + uuid + ".tmp",            // suffix and length
      ".qrl-write-" + uuid.substr(1) + ".tmp",  // prefix and suffix, one short
      ".qrl-write-" + uuid + "0.tmp",           // one long
  };
  TempDir dir;
  test::write_file(dir / leftover, "left by a killed write");
  for (const std::string& name : kept) test::write_file(dir / name, "kept");
  remove_write_leftovers(*platform::Folder::open(dir.path()));
  std::vector<std::string> expected = kept;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(list_names(dir.path()), expected);
}

TEST(AtomicFile, FailedMoveDeletesTemporaryFile) {
  // A directory standing where the file should go refuses the move on every
  // platform.
  TempDir dir;
  const std::string target = dir / "record.json";
  test::write_file(dir / "record.json/inside", "kept");
  const auto result = write_file_atomically(target, "new");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, kIoError);
  EXPECT_TRUE(result.error().display().starts_with("IO_ERROR: "));
  EXPECT_EQ(read_file(dir / "record.json/inside"), "kept");
  EXPECT_EQ(list_names(dir.path()), std::vector<std::string>{"record.json"});
}

TEST(AtomicFile, FileInParentChainFails) {
  TempDir dir;
  test::write_file(dir / "plain", "data");
  EXPECT_FALSE(create_directories(dir / "plain/sub"));
  const auto result = write_file_atomically(dir / "plain/sub/record.json", "x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, kIoError);
  EXPECT_EQ(read_file(dir / "plain"), "data");
  // Existing directories are fine, however often they are asked for.
  ASSERT_TRUE(create_directories(dir / "x/y"));
  EXPECT_TRUE(create_directories(dir / "x/y"));
  EXPECT_TRUE(create_directories(dir.path()));
}

TEST(AtomicFile, TargetHeldWithoutDeleteSharingStaysIntact) {
  if (!test::on_windows()) {
    GTEST_SKIP() << "holding a file open does not block a rename over it on POSIX";
  }
  TempDir dir;
  const std::string target = dir / "qrl-mcp.exe";
  test::write_file(target, "old launcher");
  auto holder = test::start_holding(target);
  const auto result = write_file_atomically(target, "new launcher");
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().display().starts_with("IO_ERROR: ")) << result.error().display();
  EXPECT_NE(result.error().display().find(" (os error "), std::string::npos);
  holder->kill();  // the holder keeps readers out too
  EXPECT_EQ(read_file(target), "old launcher");
  EXPECT_FALSE(has_write_temp(dir.path()));
}

TEST(AtomicFile, WriteFailingPartWayLeavesTargetAndNoTemporaryFile) {
  if (test::on_windows()) GTEST_SKIP() << "needs a per-process file size limit (POSIX only)";
  TempDir dir;
  const std::string target = dir / "payload.exe";
  test::write_file(target, "old");
  const std::string content(256 * 1024, 'x');
  const auto failed_with_io_error = test::run_with_file_size_limit(64 * 1024, [&] {
    const auto result = write_file_atomically(target, content, platform::FileMode::kExecutable);
    return !result && result.error().display().starts_with("IO_ERROR: ");
  });
  ASSERT_TRUE(failed_with_io_error.has_value()) << "the limited child did not finish";
  EXPECT_TRUE(*failed_with_io_error);
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(list_names(dir.path()), std::vector<std::string>{"payload.exe"});
}

TEST(AtomicFile, FixedTempIsReusedAndMovedAway) {
  TempDir dir;
  const std::string temp = dir / ".qrl-pair.tmp";
  const std::string target = dir / ".qrl-pair.json";
  test::write_file(temp, "a leftover from an earlier failure, longer than the new content");
  ASSERT_TRUE(write_file_via_fixed_temp(temp, target, "{}"));
  EXPECT_EQ(read_file(target), "{}");
  EXPECT_EQ(list_names(dir.path()), std::vector<std::string>{".qrl-pair.json"});
}

TEST(AtomicFile, FixedTempStaysAfterFailedMove) {
  TempDir dir;
  const std::string temp = dir / ".qrl-update.tmp";
  const std::string target = dir / ".qrl-update.json";
  test::write_file(dir / ".qrl-update.json/inside", "kept");
  const auto result = write_file_via_fixed_temp(temp, target, "lease");
  ASSERT_FALSE(result);
  EXPECT_EQ(read_file(temp), "lease");
  EXPECT_EQ(read_file(dir / ".qrl-update.json/inside"), "kept");
}

TEST(AtomicFile, FixedTempThatIsALinkMakesWayAndNothingOutsideChanges) {
  if (!test::links_supported()) GTEST_SKIP() << "links cannot be made from inside Wine";
  TempDir dir;
  const std::string outside = dir / "outside/file";
  test::write_file(outside, "outside");
  test::make_dirs(dir / "inst");
  test::make_symlink(outside, dir / "inst/.qrl-pair.tmp");
  test::write_file(dir / "inst/.qrl-pair.json", "former");

  ASSERT_TRUE(
      write_file_via_fixed_temp(dir / "inst/.qrl-pair.tmp", dir / "inst/.qrl-pair.json", "record"));
  EXPECT_EQ(read_file(outside), "outside");
  EXPECT_EQ(read_file(dir / "inst/.qrl-pair.json"), "record");
  EXPECT_EQ(list_names(dir / "outside"), std::vector<std::string>{"file"});
}

TEST(Digest, KnownVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string big(5 * 1024 * 1024, 'a');
  EXPECT_EQ(sha256_hex(big), "a29968fad2e782aa9f2040a35f05adb97ed8979eb1f572c8c8ea78637e275f3c");
}

TEST(Digest, FileDigestMatchesContent) {
  TempDir dir;
  const std::string big(5 * 1024 * 1024, 'a');
  test::write_file(dir / "quarlo.exe", big);
  const auto digest = file_sha256(dir / "quarlo.exe");
  ASSERT_TRUE(digest) << digest.error().display();
  EXPECT_EQ(*digest, "a29968fad2e782aa9f2040a35f05adb97ed8979eb1f572c8c8ea78637e275f3c");
}

// Bytes that repeat only every 251, so that a chunk read twice or skipped
// changes the digest.
std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 251);
  return bytes;
}

TEST(Digest, FilesAroundTheChunkSize) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  ASSERT_EQ(kCopyChunk, kChunk);  // the sizes below are the edges of one chunk
  const struct {
    std::size_t size;
    const char* digest;
  } cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {kChunk - 1, "964f7407a5c63905977034c42edeea2d71fe23bc25db6bba1e0da4e77c4ed2b3"},
      {kChunk, "1ac437f476c488acba4000af7ae89ef53f7ffbeef2e937850985f5ceb8b5ae6f"},
      {kChunk + 1, "e42cda7f3d5f4472e6a826c1ae97c1d3933ba23ef486e8df5814889b7af6f7c4"},
      {3 * kChunk + 17, "b94a81035474d847a7b5f270ed72d10d51a5643254d6495dce93e2022aa22ac7"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    test::write_file(dir / "payload", patterned(c.size));
    EXPECT_EQ(file_sha256(dir / "payload"), c.digest) << c.size << " bytes";
  }
}

TEST(AtomicFile, CopiesSeveralChunksExactly) {
  TempDir dir;
  const std::string content = patterned(3 * kCopyChunk + 17);
  test::write_file(dir / "source", content);
  test::write_file(dir / "target", "old");
  auto source = platform::open_for_reading(dir / "source");
  ASSERT_TRUE(source);
  ASSERT_TRUE(copy_file_atomically(*platform::Folder::open(dir.path()), "target", *source,
                                   platform::FileMode::kExecutable));
  EXPECT_EQ(read_file(dir / "target"), content);
  EXPECT_FALSE(has_write_temp(dir.path()));
}

TEST(AtomicFile, SourceShortenedWhileCopiedLeavesTheTargetAndNoTemporaryFile) {
  TempDir dir;
  test::write_file(dir / "source", patterned(3 * kCopyChunk));
  test::write_file(dir / "target", "old");
  auto source = platform::open_for_reading(dir / "source");
  ASSERT_TRUE(source);
  // Another program shortens it once it is open.
  test::write_file(dir / "source", patterned(kCopyChunk + 5));
  const auto copied = copy_file_atomically(*platform::Folder::open(dir.path()), "target", *source,
                                           platform::FileMode::kRecord);
  ASSERT_FALSE(copied);
  EXPECT_EQ(copied.error().display(), platform::ended_early().display());
  EXPECT_EQ(read_file(dir / "target"), "old");
  EXPECT_FALSE(has_write_temp(dir.path()));
}

TEST(Digest, MissingFileIsNotFound) {
  TempDir dir;
  const auto digest = file_sha256(dir / "missing.exe");
  ASSERT_FALSE(digest);
  EXPECT_TRUE(platform::is_not_found(digest.error()));
  EXPECT_TRUE(digest.error().display().ends_with(" (os error 2)")) << digest.error().display();
}

}  // namespace
}  // namespace qrl
