#include "update/pair.h"

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

// The digests the launcher form records and checks: the server and the
// application as given, and the launcher that will be in effect. Read in this
// order: version, server, application, launcher.
Result<Bundle> expected_bundle(const platform::Folder& root, const std::string& app,
                               const std::string& mcp, const LauncherPart& part) {
  if (!is_valid_mcp_version(part.version)) return fail(kMsgInvalidVersion);
  auto server = file_sha256(mcp);
  if (!server) return fail(server.error());
  auto app_digest = file_sha256(app);
  if (!app_digest) return fail(app_digest.error());
  auto launcher = effective_launcher_sha256(root, part.launcher);
  if (!launcher) return fail(launcher.error());
  return Bundle{part.version, *server, *app_digest, *launcher};
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
  auto bundle = expected_bundle(root, app, mcp, part);
  if (!bundle) return fail(bundle.error());
  Pair pair{bundle->app_sha256, bundle->launcher_sha256, *bundle};
  return write_atomically(root, kPairFile, encode(pair));
}

Status stage_in(Installation& installation, std::uint32_t owner, const std::string& app,
                const std::string& mcp, const std::optional<LauncherPart>& launcher) {
  const platform::Folder& root = installation.root();
  if (auto leased = require_lease(root, owner); !leased) return leased;
  remove_write_leftovers(root);
  if (launcher) return stage_with_launcher(root, app, mcp, *launcher);
  return stage_plain(root, app, mcp);
}

Result<Verified> verify_plain(Installation& installation, std::uint32_t owner,
                              const std::string& app, const std::string& mcp) {
  const platform::Folder& root = installation.root();
  auto installed = installed_pair(root);
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

Result<Verified> verify_with_launcher(Installation& installation, std::uint32_t owner,
                                      const std::string& app, const std::string& mcp,
                                      const LauncherPart& part) {
  const platform::Folder& root = installation.root();
  auto installed = installed_pair(root);
  if (!installed) return fail(installed.error());
  if (!is_valid_mcp_version(part.version)) return fail(kMsgInvalidVersion);
  // Every named file is read before anything is compared.
  auto bundle = expected_bundle(root, app, mcp, part);
  if (!bundle) return fail(bundle.error());
  if (installed->app != bundle->app_sha256) {
    log::line("verify: the installed application is not the package's");
    return fail(kMsgLauncherMismatch);
  }
  if (installed->mcp != bundle->launcher_sha256) {
    log::line("verify: the installed launcher is not the one in effect for the package");
    return fail(kMsgLauncherMismatch);
  }
  // The version records are written into "mcp", which passes the same checks
  // as for install-payload and is held from here on, so that nothing is read
  // or written through a link or junction, outside the installation.
  auto version_dir = installation.version_folder(part.version, /*create=*/false);
  if (!version_dir) return fail(version_dir.error());
  auto server = file_sha256(*version_dir, kServerExe);
  if (!server) return fail(server.error());
  if (*server != bundle->server_sha256) {
    log::line("verify: the installed server of " + part.version + " is not the package's");
    return fail(kMsgLauncherMismatch);
  }

  auto mcp_dir = installation.mcp();
  if (!mcp_dir) return fail(mcp_dir.error());
  const platform::Folder& records = **mcp_dir;
  remove_write_leftovers(records);
  remove_write_leftovers(*version_dir);
  if (auto kept = keep_previous_record(records, part.version); !kept) return fail(kept.error());
  if (auto written = write_atomically(records, kCurrentRecord, encode(*bundle)); !written) {
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

Result<Pair> installed_pair(const platform::Folder& root) {
  auto app = file_sha256(root, kAppExe);
  if (!app) return fail(app.error());
  auto mcp = file_sha256(root, kLauncherExe);
  if (!mcp) return fail(mcp.error());
  return Pair{*app, *mcp, std::nullopt};
}

Result<Pair> installed_pair(const std::string& install_dir) {
  auto root = platform::Folder::open(install_dir);
  if (!root) return fail(root.error());
  return installed_pair(*root);
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
