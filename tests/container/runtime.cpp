// SPDX-License-Identifier: MIT
#include "runtime.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace orva_test {
namespace {

constexpr const char *kIdPrefix = "orva-test-";

// Set by the probe when containers only start without cgroup resources.
bool drop_resources = false;

std::string last_line(const std::string &text) {
  std::string s = text;
  while (!s.empty() && s.back() == '\n') {
    s.pop_back();
  }
  const size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

// Copies a host file into the root filesystem, following symlinks, so that
// the container needs nothing from the host at run time.
std::string copy_in(const std::string &root, const std::string &host,
                    const std::string &dest) {
  const fs::path target = fs::path(root) / fs::path(dest).relative_path();
  std::error_code ec;
  if (fs::exists(target, ec)) {
    return "";
  }
  fs::create_directories(target.parent_path(), ec);
  if (!fs::copy_file(host, target, ec)) {
    return "copy " + host + ": " + ec.message();
  }
  fs::permissions(target,
                  fs::perms::owner_all | fs::perms::group_read |
                      fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec,
                  ec);
  return "";
}

// Installs a program and every library the loader maps for it (as ldd
// reports them). Libraries from this build go where the loader looks by
// default, the rest to the same path as on the host.
std::string install(const std::string &root, const std::string &host,
                    const std::string &dest) {
  if (std::string why = copy_in(root, host, dest); !why.empty()) {
    return why;
  }
  const Result ldd = run({"ldd", host}, 20s);
  if (ldd.exit_code != 0) {
    // A static program has nothing to load.
    if ((ldd.out + ldd.err).find("not a dynamic executable") !=
        std::string::npos) {
      return "";
    }
    return "ldd " + host + " failed: " + last_line(ldd.err);
  }
  const std::string build_dir = ORVA_BUILD_DIR "/";
  std::istringstream lines(ldd.out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::vector<std::string> w = words(line);
    std::string lib;
    if (w.size() >= 3 && w[1] == "=>") {
      if (w[2] == "not") {
        return host + " needs " + w[0] + ", which ldd cannot find";
      }
      lib = w[2];
    } else if (!w.empty() && w[0].front() == '/') {
      lib = w[0]; // the loader
    } else {
      continue; // the vDSO
    }
    const std::string to = lib.rfind(build_dir, 0) == 0
                               ? "/usr/lib/" + fs::path(lib).filename().string()
                               : lib;
    if (std::string why = copy_in(root, lib, to); !why.empty()) {
      return why;
    }
  }
  return "";
}

// The root's programs by where they come from on the host and where they go.
using Placements = std::vector<std::pair<std::string, std::string>>;

std::string root_programs(Placements &out) {
  if (!static_launcher_wanted()) {
    out = {{ORVA_INIT_PATH, "/bin/orva-init"},
           {ORVA_LINKED_PROGRAM_PATH, "/bin/linked-program"}};
    return "";
  }
#ifdef ORVA_STATIC_INIT_PATH
  out = {{ORVA_STATIC_INIT_PATH, "/bin/orva-init"},
         {ORVA_STATIC_LINKED_PROGRAM_PATH, "/bin/linked-program"}};
  return "";
#else
  return "ORVA_TEST_LAUNCHER=static, but this build made no static root";
#endif
}

std::string build_rootfs(const std::string &root) {
  std::error_code ec;
  fs::remove_all(root, ec);
  for (const char *dir : {"bin", "proc", "dev", "sys", "tmp", "etc"}) {
    if (!fs::create_directories(fs::path(root) / dir, ec) && ec) {
      return "mkdir " + root + "/" + dir + ": " + ec.message();
    }
  }
  Placements programs;
  if (std::string why = root_programs(programs); !why.empty()) {
    return why;
  }
  for (const auto &[host, dest] : programs) {
    if (std::string why = install(root, host, dest); !why.empty()) {
      return why;
    }
  }
  return busybox_root(root);
}

// The OCI runtime the tests drive: ORVA_TEST_RUNTIME, by default runc.
const std::string &runtime_name() {
  static const std::string name = [] {
    const char *chosen = getenv("ORVA_TEST_RUNTIME");
    return std::string(chosen != nullptr && *chosen != '\0' ? chosen : "runc");
  }();
  return name;
}

// The runtime's command line with `args`, run so that it works here.
std::vector<std::string>
runtime_command(std::initializer_list<std::string> args) {
  // crun refuses a hybrid cgroup layout whose v2 hierarchy holds a
  // controller. With that hierarchy hidden under a tmpfs, in a mount
  // namespace of the call's own, it sees v1 alone; the machine's mounts
  // stay as they are.
  static const bool hide_unified = [] {
    struct statfs fs_info = {};
    constexpr long kCgroup2Magic = 0x63677270;
    return runtime_name() == "crun" &&
           statfs("/sys/fs/cgroup/unified", &fs_info) == 0 &&
           static_cast<long>(fs_info.f_type) == kCgroup2Magic;
  }();
  const char *hide = "mount -t tmpfs tmpfs /sys/fs/cgroup/unified && "
                     "exec \"$0\" \"$@\"";
  return joined(hide_unified
                    ? std::vector<std::string>{"unshare", "--mount",
                                               "--propagation", "private", "sh",
                                               "-c", hide, runtime_name()}
                    : std::vector<std::string>{runtime_name()},
                args);
}

// The shared root filesystem: /bin/orva-init, /bin/linked-program, busybox
// with every applet in /bin, and the libraries they load; with
// ORVA_TEST_LAUNCHER=static, the static launcher and the test program linked
// fully static against liborva.a, so no library at all. "" on failure, with
// the reason in `why`.
std::string rootfs(std::string *why = nullptr) {
  // Built once per test process, shared read-only by its containers, and
  // removed when the process exits.
  static const std::string path = std::string(ORVA_CONTAINER_WORK_DIR) +
                                  "/rootfs-" + std::to_string(getpid());
  static const std::string error = [] {
    (void)std::atexit([] {
      std::error_code ec;
      fs::remove_all(path, ec);
    });
    return build_rootfs(path);
  }();
  if (!error.empty() && why != nullptr) {
    *why = error;
  }
  return error.empty() ? path : "";
}

// Deletes what an earlier run left behind when it was killed before its
// own clean-up: containers named for a test process that no longer exists.
void delete_stale_containers() {
  const Result list = run(runtime_command({"list", "-q"}), 20s);
  std::istringstream ids(list.out);
  std::string id;
  while (std::getline(ids, id)) {
    if (id.rfind(kIdPrefix, 0) != 0) {
      continue;
    }
    const long owner = strtol(id.c_str() + strlen(kIdPrefix), nullptr, 10);
    if (owner > 0 && kill(static_cast<pid_t>(owner), 0) != 0 &&
        errno == ESRCH) {
      (void)run(runtime_command({"delete", "--force", id}), 20s);
    }
  }
}

std::string probe() {
  const std::string &name = runtime_name();
  if (geteuid() != 0) {
    return name + " needs root to run containers";
  }
  if (std::string why = missing({name.c_str()}); !why.empty()) {
    return why;
  }
  std::string why;
  if (rootfs(&why).empty()) {
    return why;
  }
  delete_stale_containers();
  std::string first_error;
  for (const bool drop : {false, true}) {
    drop_resources = drop;
    Container c;
    if (!c.error().empty()) {
      return c.error();
    }
    c.args({"/bin/true"});
    const Result r = c.run(30s);
    if (r.exit_code == 0) {
      return "";
    }
    if (first_error.empty()) {
      first_error = last_line(r.err);
    }
  }
  drop_resources = false;
  return name + " cannot run a container here: " + first_error;
}

} // namespace

std::string busybox_path() {
  for (const char *path : {"/usr/bin/busybox", "/bin/busybox"}) {
    if (access(path, X_OK) == 0) {
      return path;
    }
  }
  return "";
}

std::string missing(std::initializer_list<const char *> programs) {
  if (busybox_path().empty()) {
    return "busybox is not installed (scripts/dev test installs "
           "busybox-static)";
  }
  for (const char *program : programs) {
    if (!on_path(program)) {
      return std::string(program) +
             " is not installed (scripts/dev test installs its package)";
    }
  }
  return "";
}

std::string busybox_root(const std::string &root) {
  const std::string busybox = busybox_path();
  if (std::string why = missing({}); !why.empty()) {
    return why;
  }
  if (std::string why = install(root, busybox, "/bin/busybox"); !why.empty()) {
    return why;
  }
  const Result list = run({busybox, "--list"}, 20s);
  if (list.exit_code != 0) {
    return "busybox --list failed";
  }
  std::istringstream applets(list.out);
  std::string applet;
  std::error_code ec;
  while (std::getline(applets, applet)) {
    const fs::path link = fs::path(root) / "bin" / applet;
    if (applet.empty() || applet.find('/') != std::string::npos ||
        fs::exists(fs::symlink_status(link, ec))) {
      continue;
    }
    fs::create_symlink("busybox", link, ec);
  }
  return "";
}

void unmount_below(const std::string &dir) {
  std::vector<std::string> points;
  std::istringstream mounts(read_file("/proc/self/mountinfo"));
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string skip;
    std::string point;
    fields >> skip >> skip >> skip >> skip >> point;
    if (point.rfind(dir + "/", 0) == 0) {
      points.push_back(point);
    }
  }
  std::sort(points.rbegin(), points.rend());
  for (const std::string &p : points) {
    (void)umount2(p.c_str(), MNT_DETACH);
  }
}

ShortDir::ShortDir() {
  char made[] = "/tmp/orva-XXXXXX";
  if (mkdtemp(made) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = made;
}

ShortDir::~ShortDir() {
  unmount_below(path_);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

const std::string &runtime_unavailable_reason() {
  static const std::string reason = probe();
  return reason;
}

Container::Container(const BundleMaker &make) {
  static std::atomic<int> counter{0};
  id_ = kIdPrefix + std::to_string(getpid()) + "-" + std::to_string(++counter);
  dir_ = std::string(ORVA_CONTAINER_WORK_DIR) + "/" + id_;
  std::error_code ec;
  fs::remove_all(dir_, ec);
  fs::create_directories(ORVA_CONTAINER_WORK_DIR, ec);
  error_ = make(dir_);
  if (!error_.empty()) {
    return;
  }
  config_ =
      nlohmann::json::parse(read_file(dir_ + "/config.json"), nullptr, false);
  if (config_.is_discarded()) {
    error_ = "the bundle's config.json is not JSON";
    return;
  }
  config_["process"]["terminal"] = false;
  if (drop_resources) {
    config_["linux"].erase("resources");
  }
}

Container::Container()
    : Container([](const std::string &dir) -> std::string {
        std::error_code ec;
        fs::create_directories(dir, ec);
        const Result made =
            orva_test::run(runtime_command({"spec", "--bundle", dir}));
        if (made.exit_code != 0) {
          return runtime_name() +
                 " wrote no default config: " + last_line(made.err);
        }
        return "";
      }) {
  if (!error_.empty()) {
    return;
  }
  const std::string root = rootfs(&error_);
  if (root.empty()) {
    return;
  }
  config_["process"]["env"] = nlohmann::json::array({"PATH=/bin"});
  config_["root"]["path"] = root;
  readonly(false);
}

Container::~Container() {
  if (!dir_.empty()) {
    (void)orva_test::run(runtime_command({"delete", "--force", id_}));
  }
  running_.reset();
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
}

void Container::args(const std::vector<std::string> &argv) {
  config_["process"]["args"] = argv;
}

void Container::env(const std::string &assignment) {
  config_["process"]["env"].push_back(assignment);
}

void Container::user(unsigned uid, unsigned gid) {
  nlohmann::json &u = config_["process"]["user"];
  u["uid"] = uid;
  u["gid"] = gid;
}

void Container::readonly(bool on) { config_["root"]["readonly"] = on; }

Result Container::run(milliseconds limit) {
  const Result first = start().wait(limit);
  if (!refused_by_runtime(first)) {
    return first;
  }
  return start().wait(limit);
}

bool Container::refused_by_runtime(const Result &ended) {
  // runc logs its own failures, and only those, at level=error. A start
  // that fails this way, rare as it is, is the runtime's fault and says
  // nothing about the program: the error is shown and the start repeated.
  if (ended.exit_code == 0 ||
      ended.err.find(" level=error ") == std::string::npos) {
    return false;
  }
  std::cerr << runtime_name() << " refused container " << id_
            << ", starting it once more: " << ended.err;
  running_.reset();
  (void)orva_test::run(runtime_command({"delete", "--force", id_}));
  return true;
}

Process &Container::start(int descriptor) {
  write_file(dir_ + "/config.json", config_.dump(2));
  running_ = std::make_unique<Process>(
      descriptor < 0 ? runtime_command({"run", "--bundle", dir_, id_})
                     : runtime_command({"run", "--detach", "--preserve-fds",
                                        "1", "--bundle", dir_, id_}),
      Start{.fd3 = descriptor});
  return *running_;
}

Result Container::kill(const std::string &signal) {
  return orva_test::run(runtime_command({"kill", id_, signal}));
}

Result Container::exec(const std::vector<std::string> &argv) {
  std::vector<std::string> full = runtime_command({"exec", id_});
  full.insert(full.end(), argv.begin(), argv.end());
  return orva_test::run(full);
}

::testing::AssertionResult
orphans_gone(Container &box, const std::string &orphan, ProcessCount &count) {
  return orphans_gone(
      [&box](const std::vector<std::string> &argv) { return box.exec(argv); },
      orphan, count);
}

::testing::AssertionResult
orphans_gone(const Exec &exec, const std::string &orphan, ProcessCount &count) {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  // An orphan that has just exited is a zombie until process 1 has taken
  // its SIGCHLD: a snapshot may catch it in between, so zombies get a
  // moment too before they count.
  std::chrono::steady_clock::time_point reaped_by{};
  for (;;) {
    const Result ps = exec({"/bin/busybox", "ps", "-o", "pid,stat,args"});
    if (ps.exit_code != 0) {
      return ::testing::AssertionFailure() << "exec ps: " << ps.err;
    }
    count = ProcessCount{};
    std::istringstream lines(ps.out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string pid;
      std::string stat;
      std::string args;
      fields >> pid >> stat;
      std::getline(fields >> std::ws, args);
      if (stat.rfind('Z', 0) == 0) {
        ++count.zombies;
      } else if (args == orphan) {
        ++count.orphans_alive;
      }
    }
    if (count.orphans_alive == 0) {
      if (reaped_by == std::chrono::steady_clock::time_point{}) {
        reaped_by = std::chrono::steady_clock::now() + 2s;
      }
      if (count.zombies == 0 || std::chrono::steady_clock::now() > reaped_by) {
        return ::testing::AssertionSuccess() << ps.out;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return ::testing::AssertionFailure() << "orphans still run: " << ps.out;
    }
    std::this_thread::sleep_for(200ms);
  }
}

} // namespace orva_test
