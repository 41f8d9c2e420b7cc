#include "update/pair.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "lease/lease.h"
#include "mcp/launcher.h"
#include "mcp/layout.h"
#include "platform/files.h"
#include "platform/system.h"
#include "store/atomic_file.h"
#include "store/log.h"

namespace qrl {

namespace {

Status write_atomically(const platform::Folder& folder, std::string_view name,
                        std::string_view content) {
  if (auto written = write_file_atomically(folder, name, content); !written) {
    return fail(written.error().to_error());
  }
  return {};
}

// A file at hand (the package's), hashed whole: its digest and the size it
// had when it was opened.
struct Given {
  std::string path;
  std::string sha256;
  std::uint64_t size = 0;
};

Result<Given> given_file(const std::string& path) {
  auto file = platform::open_for_reading(path);
  if (!file) return fail(file.error());
  auto digest = file_sha256(*file, path);
  if (!digest) return fail(digest.error());
  return Given{path, std::move(*digest), file->size_at_open()};
}

// The package as the launcher form records and checks it: the server and the
// application as given, and the digest of the launcher that will be in
// effect. Read in this order: version, server, application, launcher.
struct Package {
  Given server;
  Given app;
  Bundle bundle;
};

Result<Package> package_of(const platform::Folder& root, const std::string& app,
                           const std::string& mcp, const LauncherPart& part) {
  if (!is_valid_mcp_version(part.version)) return fail(kMsgInvalidVersion);
  auto server = given_file(mcp);
  if (!server) return fail(server.error());
  auto app_file = given_file(app);
  if (!app_file) return fail(app_file.error());
  auto launcher = effective_launcher_sha256(root, part.launcher);
  if (!launcher) return fail(launcher.error());
  Bundle bundle{part.version, server->sha256, app_file->sha256, *launcher};
  return Package{std::move(*server), std::move(*app_file), std::move(bundle)};
}

Status stage_plain(const platform::Folder& root, const std::string& app, const std::string& mcp) {
  auto app_digest = file_sha256(app);
  if (!app_digest) return fail(app_digest.error());
  auto mcp_digest = file_sha256(mcp);
  if (!mcp_digest) return fail(mcp_digest.error());
  return write_file_via_fixed_temp(root, kPairTemp, kPairFile,
                                   encode(Pair{*app_digest, *mcp_digest, std::nullopt}));
}

Status stage_with_launcher(const platform::Folder& root, const std::string& app,
                           const std::string& mcp, const LauncherPart& part) {
  auto package = package_of(root, app, mcp, part);
  if (!package) return fail(package.error());
  const Bundle& bundle = package->bundle;
  return write_atomically(root, kPairFile,
                          encode(Pair{bundle.app_sha256, bundle.launcher_sha256, bundle}));
}

Status stage_in(Installation& installation, std::uint32_t owner, const std::string& app,
                const std::string& mcp, const std::optional<LauncherPart>& launcher) {
  const platform::Folder& root = installation.root();
  if (auto leased = require_lease(root, owner); !leased) return leased;
  remove_write_leftovers(root);
  if (launcher) return stage_with_launcher(root, app, mcp, *launcher);
  return stage_plain(root, app, mcp);
}

// An installed file opened to be compared with a file at hand. The sizes are
// compared first: an installed file of another size, however large, is told
// apart without being read. It is hashed only when the sizes agree.
struct Installed {
  platform::InputFile file;
  std::string shown;
};

Result<Installed> open_installed(const platform::Folder& folder, std::string_view name) {
  auto file = folder.open_for_reading(name);
  if (!file) return fail(file.error());
  return Installed{std::move(*file), folder.path_of(name)};
}

// The installed "quarlo.exe" and "qrl-mcp.exe", opened in this order: a
// missing or unreadable one fails before any file at hand is read.
struct InstalledPair {
  Installed app;
  Installed launcher;
};

Result<InstalledPair> open_installed_pair(const platform::Folder& root) {
  auto app = open_installed(root, kAppExe);
  if (!app) return fail(app.error());
  auto launcher = open_installed(root, kLauncherExe);
  if (!launcher) return fail(launcher.error());
  return InstalledPair{std::move(*app), std::move(*launcher)};
}

Result<bool> has_digest(Installed& installed, const std::string& digest) {
  auto own = file_sha256(installed.file, installed.shown);
  if (!own) return fail(own.error());
  return *own == digest;
}

// Tells the log that the installed file is not read: the file at hand has
// another size.
void told_apart_by_size(const Installed& installed, const std::string& given, std::uint64_t size) {
  log::line("verify: " + installed.shown + " is not read: it has " +
            std::to_string(installed.file.size_at_open()) + " bytes, " + given + " has " +
            std::to_string(size));
}

// Whether the installed file holds exactly the bytes of the file at hand.
Result<bool> holds(Installed& installed, const Given& given) {
  if (installed.file.size_at_open() != given.size) {
    told_apart_by_size(installed, given.path, given.size);
    return false;
  }
  return has_digest(installed, given.sha256);
}

// Whether the installed launcher is the one in effect, whose digest is
// `effective`: the offered launcher's, or the installed one's own when it
// stays. Of another size than the offered file, it can only be the one that
// stays, which the offered file's digest tells: when that is the one in
// effect, the installed launcher is not read.
Result<bool> holds_launcher_in_effect(Installed& installed, const std::string& offered,
                                      const std::string& effective) {
  auto offered_file = platform::open_for_reading(offered);
  if (!offered_file) return fail(offered_file.error());
  const std::uint64_t offered_size = offered_file->size_at_open();
  if (installed.file.size_at_open() != offered_size) {
    auto offered_sha = file_sha256(*offered_file, offered);
    if (!offered_sha) return fail(offered_sha.error());
    if (*offered_sha == effective) {
      told_apart_by_size(installed, offered, offered_size);
      return false;
    }
  }
  return has_digest(installed, effective);
}

// The plain form's comparison: the installed application with the App file,
// then the installed "qrl-mcp.exe" with the MCP file, which is read only when
// the application matched.
Status compare_plain(const platform::Folder& root, const std::string& app, const std::string& mcp) {
  auto installed = open_installed_pair(root);
  if (!installed) return fail(installed.error());
  auto app_file = given_file(app);
  if (!app_file) return fail(app_file.error());
  auto same_app = holds(installed->app, *app_file);
  if (!same_app) return fail(same_app.error());
  if (!*same_app) {
    log::line("verify: the installed application is not the package's");
    return fail(kMsgPlainMismatch);
  }
  auto mcp_file = given_file(mcp);
  if (!mcp_file) return fail(mcp_file.error());
  auto same_mcp = holds(installed->launcher, *mcp_file);
  if (!same_mcp) return fail(same_mcp.error());
  if (!*same_mcp) {
    log::line("verify: the installed qrl-mcp.exe is not the package's");
    return fail(kMsgPlainMismatch);
  }
  return {};
}

Result<Verified> verify_plain(Installation& installation, std::uint32_t owner,
                              const std::string& app, const std::string& mcp) {
  const platform::Folder& root = installation.root();
  if (auto same = compare_plain(root, app, mcp); !same) return fail(same.error());
  if (auto staged = stage_in(installation, owner, app, mcp, std::nullopt); !staged) {
    return fail(staged.error());
  }
  if (auto released = release_lease(root, owner); !released) return fail(released.error());
  return Verified{};
}

// Keeps the record of the version in service as the previous one when the
// update brings another version. A record that is absent, does not decode or
// names the same version leaves the previous record as it is. One that exists
// but cannot be read is an error: taking it for absent would lose the version
// the installation can fall back to.
Status keep_previous_record(const platform::Folder& mcp_dir, const std::string& version) {
  auto former = read_record_if_present(mcp_dir, kCurrentRecord);
  if (!former) return fail(former.error());
  if (!*former) return {};
  auto bundle = decode_bundle(**former);
  if (!bundle || bundle->version == version) return {};
  // A byte copy, not a re-encoding: the record stays exactly as it was written.
  return write_atomically(mcp_dir, kPreviousRecord, **former);
}

// What the launcher form's comparison leaves: the expected bundle, and the
// held folder of the version, where its server matched.
struct Matched {
  Bundle bundle;
  platform::Folder version_dir;
};

// The launcher form's comparison: every named file is read before anything is
// compared; then the installed application, the installed launcher and the
// installed server of the version, in this order.
Result<Matched> compare_with_launcher(Installation& installation, const std::string& app,
                                      const std::string& mcp, const LauncherPart& part) {
  auto installed = open_installed_pair(installation.root());
  if (!installed) return fail(installed.error());
  auto package = package_of(installation.root(), app, mcp, part);
  if (!package) return fail(package.error());
  auto same_app = holds(installed->app, package->app);
  if (!same_app) return fail(same_app.error());
  if (!*same_app) {
    log::line("verify: the installed application is not the package's");
    return fail(kMsgLauncherMismatch);
  }
  auto same_launcher =
      holds_launcher_in_effect(installed->launcher, part.launcher, package->bundle.launcher_sha256);
  if (!same_launcher) return fail(same_launcher.error());
  if (!*same_launcher) {
    log::line("verify: the installed launcher is not the one in effect for the package");
    return fail(kMsgLauncherMismatch);
  }
  // The version records are written into "mcp", which passes the same checks
  // as for install-payload and is held from here on, so that nothing is read
  // or written through a link or junction, outside the installation.
  auto version_dir = installation.version_folder(part.version, /*create=*/false);
  if (!version_dir) return fail(version_dir.error());
  auto server = open_installed(*version_dir, kServerExe);
  if (!server) return fail(server.error());
  auto same_server = holds(*server, package->server);
  if (!same_server) return fail(same_server.error());
  if (!*same_server) {
    log::line("verify: the installed server of " + part.version + " is not the package's");
    return fail(kMsgLauncherMismatch);
  }
  return Matched{std::move(package->bundle), std::move(*version_dir)};
}

Result<Verified> verify_with_launcher(Installation& installation, std::uint32_t owner,
                                      const std::string& app, const std::string& mcp,
                                      const LauncherPart& part) {
  const platform::Folder& root = installation.root();
  auto matched = compare_with_launcher(installation, app, mcp, part);
  if (!matched) return fail(matched.error());
  const Bundle& bundle = matched->bundle;
  const platform::Folder& version_dir = matched->version_dir;

  auto mcp_dir = installation.mcp();
  if (!mcp_dir) return fail(mcp_dir.error());
  const platform::Folder& records = **mcp_dir;
  remove_write_leftovers(records);
  remove_write_leftovers(version_dir);
  if (auto kept = keep_previous_record(records, part.version); !kept) return fail(kept.error());
  if (auto written = write_atomically(records, kCurrentRecord, encode(bundle)); !written) {
    return fail(written.error());
  }
  if (auto staged = stage_in(installation, owner, app, mcp, part); !staged) {
    return fail(staged.error());
  }

  // The update is complete. Old versions are pruned while the lease is still
  // held, so that no other installer can be installing into them meanwhile;
  // those that cannot be removed now are only reported, and a later verify
  // tries again.
  auto pruned = prune_old_mcp_versions(installation, part.version);
  if (auto released = release_lease(root, owner); !released) return fail(released.error());
  if (!pruned) return Verified{pruned.error()};
  return Verified{};
}

}  // namespace

Status stage_pair(const std::string& install_dir, std::uint32_t owner, const std::string& app,
                  const std::string& mcp, const std::optional<LauncherPart>& launcher) {
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  return stage_in(*installation, owner, app, mcp, launcher);
}

Result<Verified> verify_pair(const std::string& install_dir, std::uint32_t owner,
                             const std::string& app, const std::string& mcp,
                             const std::optional<LauncherPart>& launcher) {
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  if (auto leased = require_lease(installation->root(), owner); !leased) {
    return fail(leased.error());
  }
  remove_write_leftovers(installation->root());
  if (launcher) return verify_with_launcher(*installation, owner, app, mcp, *launcher);
  return verify_plain(*installation, owner, app, mcp);
}

Status prune_old_mcp_versions(Installation& installation, const std::string& current) {
  auto mcp_dir = installation.mcp();
  if (!mcp_dir) return fail(mcp_dir.error());
  if (*mcp_dir == nullptr) return {};
  // The previous version is kept. A record that exists but cannot be read
  // stops the pruning: its version is unknown, so any directory might be it.
  std::optional<std::string> previous;
  auto bytes = read_record_if_present(**mcp_dir, kPreviousRecord);
  if (!bytes) return fail(bytes.error());
  if (*bytes) {
    if (auto bundle = decode_bundle(**bytes)) previous = bundle->version;
  }

  const auto old = [&](const std::string& name) { return name != current && name != previous; };
  auto walked =
      walk_version_dirs(installation, old, [](const platform::Folder& dir) -> Result<Walk> {
        auto contents = dir.list();
        if (!contents) return fail(contents.error());
        // Only a directory that holds nothing but the server itself (and what
        // killed writes left) is removed; anything else in it may be
        // somebody's and stays.
        std::size_t servers = 0, others = 0;
        for (const platform::DirEntry& item : *contents) {
          if (item.name == kServerExe) {
            ++servers;
          } else if (item.info.is_directory || !is_write_temp_name(item.name)) {
            ++others;
          }
        }
        if (servers != 1 || others != 0) return Walk::kGoOn;
        auto use = file_is_free(dir, kServerExe);
        if (!use) return fail(use.error());
        if (*use == Use::kBusy) return Walk::kGoOn;
        // A leftover that cannot be removed keeps the directory, server and all.
        remove_write_leftovers(dir);
        if (contents->size() > 1) {
          auto left = dir.list();
          if (!left) return fail(left.error());
          if (left->size() != 1) return Walk::kGoOn;
        }
        auto deleted = dir.delete_file(kServerExe);
        log::file_step("pruned: deleted", dir.path_of(kServerExe), deleted);
        if (!deleted) return fail(deleted.error());
        return Walk::kRemove;
      });
  if (!walked) return fail(walked.error());
  // What was pruned stays pruned after a power cut.
  return (**mcp_dir).flush();
}

Status prune_old_mcp_versions(const std::string& install_dir, const std::string& current) {
  auto installation = Installation::open(install_dir);
  if (!installation) return fail(installation.error());
  return prune_old_mcp_versions(*installation, current);
}

}  // namespace qrl
