#include "update/pair.h"

#include "lease/lease.h"
#include "mcp/launcher.h"
#include "mcp/layout.h"
#include "platform/platform.h"
#include "store/atomic_file.h"
#include "store/log.h"

namespace qrl {

namespace {

std::string mcp_record_path(const std::string& install_dir, const char* name) {
  return platform::join(platform::join(install_dir, kMcpDir), name);
}

Status write_atomically(const std::string& target, std::string_view content) {
  if (auto written = write_file_atomically(target, content); !written) {
    return fail(written.error().to_error());
  }
  return {};
}

// The digests the launcher form records and checks: the server and the
// application as given, and the launcher that will be in effect. Read in this
// order: version, server, application, launcher.
Result<Bundle> expected_bundle(const std::string& install_dir, const std::string& app,
                               const std::string& mcp, const LauncherPart& part) {
  if (auto path = mcp_server_path(install_dir, part.version); !path) return fail(path.error());
  auto server = file_sha256(mcp);
  if (!server) return fail(server.error());
  auto app_digest = file_sha256(app);
  if (!app_digest) return fail(app_digest.error());
  auto launcher = effective_launcher_sha256(install_dir, part.launcher);
  if (!launcher) return fail(launcher.error());
  return Bundle{part.version, *server, *app_digest, *launcher};
}

Status stage_plain(const std::string& install_dir, const std::string& app, const std::string& mcp) {
  auto app_digest = file_sha256(app);
  if (!app_digest) return fail(app_digest.error());
  auto mcp_digest = file_sha256(mcp);
  if (!mcp_digest) return fail(mcp_digest.error());
  return write_file_via_fixed_temp(platform::join(install_dir, kPairTemp),
                                   platform::join(install_dir, kPairFile),
                                   encode(Pair{*app_digest, *mcp_digest, std::nullopt}));
}

Status stage_with_launcher(const std::string& install_dir, const std::string& app,
                           const std::string& mcp, const LauncherPart& part) {
  auto bundle = expected_bundle(install_dir, app, mcp, part);
  if (!bundle) return fail(bundle.error());
  Pair pair{bundle->app_sha256, bundle->launcher_sha256, *bundle};
  return write_atomically(platform::join(install_dir, kPairFile), encode(pair));
}

Result<Verified> verify_plain(const std::string& install_dir, std::uint32_t owner,
                              const std::string& app, const std::string& mcp) {
  auto installed = installed_pair(install_dir);
  if (!installed) return fail(installed.error());
  // The MCP file is read only when the application matched.
  auto app_digest = file_sha256(app);
  if (!app_digest) return fail(app_digest.error());
  if (*app_digest != installed->app) {
    log::line("verify: the installed application is not the package's");
    return fail(kMsgPlainMismatch);
  }
  auto mcp_digest = file_sha256(mcp);
  if (!mcp_digest) return fail(mcp_digest.error());
  if (*mcp_digest != installed->mcp) {
    log::line("verify: the installed qrl-mcp.exe is not the package's");
    return fail(kMsgPlainMismatch);
  }

  if (auto staged = stage_pair(install_dir, owner, app, mcp, std::nullopt); !staged) {
    return fail(staged.error());
  }
  if (auto released = release_lease(install_dir, owner); !released) return fail(released.error());
  return Verified{};
}

// Keeps the record of the version in service as the previous one when the
// update brings another version. A record that is absent, does not decode or
// names the same version leaves the previous record as it is. One that exists
// but cannot be read is an error: taking it for absent would lose the version
// the installation can fall back to.
Status keep_previous_record(const std::string& install_dir, const std::string& version) {
  auto former = read_record_if_present(mcp_record_path(install_dir, kCurrentRecord));
  if (!former) return fail(former.error());
  if (!*former) return {};
  auto bundle = decode_bundle(**former);
  if (!bundle || bundle->version == version) return {};
  // A byte copy, not a re-encoding: the record stays exactly as it was written.
  return write_atomically(mcp_record_path(install_dir, kPreviousRecord), **former);
}

Result<Verified> verify_with_launcher(const std::string& install_dir, std::uint32_t owner,
                                      const std::string& app, const std::string& mcp,
                                      const LauncherPart& part) {
  auto installed = installed_pair(install_dir);
  if (!installed) return fail(installed.error());
  auto server_path = mcp_server_path(install_dir, part.version);
  if (!server_path) return fail(server_path.error());
  // Every named file is read before anything is compared.
  auto bundle = expected_bundle(install_dir, app, mcp, part);
  if (!bundle) return fail(bundle.error());
  if (installed->app != bundle->app_sha256) {
    log::line("verify: the installed application is not the package's");
    return fail(kMsgLauncherMismatch);
  }
  if (installed->mcp != bundle->launcher_sha256) {
    log::line("verify: the installed launcher is not the one in effect for the package");
    return fail(kMsgLauncherMismatch);
  }
  auto server = file_sha256(*server_path);
  if (!server) return fail(server.error());
  if (*server != bundle->server_sha256) {
    log::line("verify: the installed server of " + part.version + " is not the package's");
    return fail(kMsgLauncherMismatch);
  }

  // The version records are written into "mcp" by their names: the folder
  // must pass the same checks as for install-payload, so that nothing is
  // written through a link or junction, outside the installation.
  auto version_dir = ensure_mcp_version_dir(install_dir, part.version);
  if (!version_dir) return fail(version_dir.error());
  remove_write_leftovers(platform::join(install_dir, kMcpDir));
  remove_write_leftovers(*version_dir);
  if (auto kept = keep_previous_record(install_dir, part.version); !kept) return fail(kept.error());
  if (auto written =
          write_atomically(mcp_record_path(install_dir, kCurrentRecord), encode(*bundle));
      !written) {
    return fail(written.error());
  }
  if (auto staged = stage_pair(install_dir, owner, app, mcp, part); !staged) {
    return fail(staged.error());
  }
  if (auto released = release_lease(install_dir, owner); !released) return fail(released.error());

  // The update is complete; old versions that cannot be removed now are only
  // reported, and a later verify tries again.
  if (auto pruned = prune_old_mcp_versions(install_dir, part.version); !pruned) {
    return Verified{pruned.error()};
  }
  return Verified{};
}

}  // namespace

Status stage_pair(const std::string& install_dir, std::uint32_t owner, const std::string& app,
                  const std::string& mcp, const std::optional<LauncherPart>& launcher) {
  if (auto leased = require_lease(install_dir, owner); !leased) return leased;
  remove_write_leftovers(install_dir);
  if (launcher) return stage_with_launcher(install_dir, app, mcp, *launcher);
  return stage_plain(install_dir, app, mcp);
}

Result<Verified> verify_pair(const std::string& install_dir, std::uint32_t owner,
                             const std::string& app, const std::string& mcp,
                             const std::optional<LauncherPart>& launcher) {
  if (auto leased = require_lease(install_dir, owner); !leased) return fail(leased.error());
  remove_write_leftovers(install_dir);
  if (launcher) return verify_with_launcher(install_dir, owner, app, mcp, *launcher);
  return verify_plain(install_dir, owner, app, mcp);
}

Result<Pair> installed_pair(const std::string& install_dir) {
  auto app = file_sha256(platform::join(install_dir, kAppExe));
  if (!app) return fail(app.error());
  auto mcp = file_sha256(platform::join(install_dir, kLauncherExe));
  if (!mcp) return fail(mcp.error());
  return Pair{*app, *mcp, std::nullopt};
}

Status prune_old_mcp_versions(const std::string& install_dir, const std::string& current) {
  // The previous version is kept. A record that exists but cannot be read
  // stops the pruning: its version is unknown, so any directory might be it.
  std::optional<std::string> previous;
  auto bytes = read_record_if_present(mcp_record_path(install_dir, kPreviousRecord));
  if (!bytes) return fail(bytes.error());
  if (*bytes) {
    if (auto bundle = decode_bundle(**bytes)) previous = bundle->version;
  }

  const auto old = [&](const std::string& name) { return name != current && name != previous; };
  auto walked = walk_version_dirs(install_dir, old, [](const std::string& dir) -> Result<Walk> {
    auto contents = platform::list_directory(dir);
    if (!contents) return fail(contents.error());
    // Only a directory that holds nothing but the server itself (and what
    // killed writes left) is removed; anything else in it may be somebody's
    // and stays.
    std::size_t servers = 0, others = 0;
    for (const platform::DirEntry& item : *contents) {
      if (item.name == kServerExe) {
        ++servers;
      } else if (item.info.is_directory || !is_write_temp_name(item.name)) {
        ++others;
      }
    }
    if (servers != 1 || others != 0) return Walk::kGoOn;
    const std::string server = platform::join(dir, kServerExe);
    auto use = file_is_free(server);
    if (!use) return fail(use.error());
    if (*use == Use::kBusy) return Walk::kGoOn;
    // A leftover that cannot be removed keeps the directory, server and all.
    remove_write_leftovers(dir);
    if (contents->size() > 1) {
      auto left = platform::list_directory(dir);
      if (!left) return fail(left.error());
      if (left->size() != 1) return Walk::kGoOn;
    }
    auto deleted = platform::delete_file(server);
    log::file_step("pruned: deleted", server, deleted);
    if (!deleted) return fail(deleted.error());
    auto removed = platform::remove_directory(dir);
    log::file_step("pruned: removed the folder", dir, removed);
    if (!removed) return fail(removed.error());
    return Walk::kGoOn;
  });
  if (!walked) return fail(walked.error());
  return {};
}

}  // namespace qrl
