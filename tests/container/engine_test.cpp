// SPDX-License-Identifier: MIT
// orva-init-static as the init that container engines run: dockerd with
// --init-path, Podman with init_path, and containerd's ctr with the
// launcher bound in as the entrypoint. Every daemon is the test's own,
// with its data in the build tree and its sockets and run-time state in a
// short directory in /tmp; the image is a directory holding busybox,
// imported; nothing is pulled and the containers have no network.
#include "loopback.h"
#include "runtime.h"

#include <errno.h>
#include <string.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using orva_test::has_line;
using orva_test::joined;
using orva_test::lines_of;
using orva_test::Process;
using orva_test::read_file;
using orva_test::Result;
using orva_test::words;
using orva_test::write_file;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *kImage = "orva-busybox:test";
const std::string kInit = ORVA_STATIC_INIT_PATH;

std::string tail(const std::string &text, size_t bytes = 1500) {
  return text.size() <= bytes ? text : text.substr(text.size() - bytes);
}

// A word for sh, whatever it holds.
std::string quoted(const std::string &word) {
  std::string q = "'";
  for (const char c : word) {
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return q + "'";
}

// Polls `done` every 200 ms until it holds; false if it still does not
// once `limit` has passed.
bool eventually(const std::function<bool()> &done, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  while (!done()) {
    if (steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(200ms);
  }
  return true;
}

// Runs each step; "" when all succeed, or the first failure.
std::string run_steps(const std::vector<std::vector<std::string>> &steps) {
  for (const auto &step : steps) {
    const Result r = orva_test::run(step, 60s);
    if (r.exit_code != 0) {
      std::string line;
      for (const auto &w : step) {
        line += (line.empty() ? "" : " ") + w;
      }
      return line + ": " + r.err;
    }
  }
  return "";
}

using orva_test::ShortDir;
using orva_test::unmount_below;

// An engine's data directory in the build tree, empty and ready.
std::string fresh_dir(const std::string &engine) {
  const std::string dir = std::string(ORVA_ENGINE_WORK_DIR) + "/" + engine;
  unmount_below(dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  return dir;
}

// The image in `dir`: busybox and its applets, and the test program
// linked fully static, in image/ and as a file system tar, image.tar; ""
// or why not.
std::string image_tar(const std::string &dir) {
  const std::string root = dir + "/image";
  std::error_code error;
  if (std::string why = orva_test::busybox_root(root); !why.empty()) {
    return why;
  }
  if (!fs::copy_file(ORVA_STATIC_LINKED_PROGRAM_PATH,
                     root + "/bin/linked-program",
                     fs::copy_options::overwrite_existing, error)) {
    return "linked-program: " + error.message();
  }
  return run_steps({{"tar", "-C", root, "-cf", dir + "/image.tar", "."}});
}

// A daemon of an engine's: its log is {dir}/`name`.log, and it is up once
// `probe` succeeds. Should it end with `refuses` in its log, the file
// `instead` names is written again with its text and it starts once more.
struct Daemon {
  const char *name;
  std::vector<std::string> argv;
  std::vector<std::string> probe;
  const char *refuses = nullptr;
  std::pair<const char *, const char *> instead{};
};

// What the walk asks of an engine for a container {name}: `run` up to the
// image, `env` before each NAME=VALUE and `entry` between the image and
// the program; `stop` by SIGTERM with {grace} seconds before the engine's
// own SIGKILL where it has one; `kill` with {signal}; `exec`, the {n}th;
// `remove`, running or not; and whether terminals (-t, -it) are walked.
struct Walk {
  std::vector<std::string> run;
  const char *env;
  std::vector<std::string> entry;
  std::vector<std::string> stop;
  std::vector<std::string> kill;
  std::vector<std::string> exec;
  std::vector<std::vector<std::string>> remove;
  bool terminals;
};

// docker and podman take the same commands.
const Walk kCli = {
    words("{client} run --rm --init --network none --name {name}"),
    "-e",
    {},
    words("{client} stop -t {grace} {name}"),
    words("{client} kill -s {signal} {name}"),
    words("{client} exec {name}"),
    {words("{client} rm -f {name}")},
    true};

// ctr has no --init: the launcher is bound in and named as the
// entrypoint. The fifos of the containers' stdio go to {run}.
const Walk kCtr = {
    words("{client} run --rm --fifo-dir {run}/fifo --mount "
          "type=bind,src={init},dst=/orva-init,options=rbind:ro"),
    "--env",
    words("{name} /orva-init --"),
    words("{client} task kill -s TERM {name}"),
    words("{client} task kill -s {signal} {name}"),
    words("{client} task exec --fifo-dir {run}/fifo --exec-id ps-{n} {name}"),
    {words("{client} task delete --force {name}"),
     words("{client} container delete {name}")},
    false};

// An engine: the files it reads, its daemons in the order they start, its
// client (the command line every request begins with), the steps that
// make it ready once its daemons answer, those that import the image from
// {dir}/image.tar, and the walk's commands. In every word, {dir} is its
// data in the build tree, {run} its sockets and run-time state, {init}
// orva-init-static and {client} the client; {nofile} and {nproc} are the
// hard limits.
struct Row {
  std::vector<std::pair<const char *, const char *>> files{};
  std::vector<Daemon> daemons{};
  std::vector<std::string> client{};
  std::vector<std::vector<std::string>> steps{};
  std::vector<std::vector<std::string>> imports{};
  const Walk &walk = kCli;
};

constexpr const char *kContainerdConfig = R"(version = 2
root = "{dir}/root"
state = "{run}/state"
disabled_plugins = ["io.containerd.grpc.v1.cri"]
[grpc]
  address = "{run}/containerd.sock"
[ttrpc]
  address = "{run}/containerd.sock.ttrpc"
[plugins."io.containerd.internal.v1.opt"]
  path = "{dir}/opt"
)";

// containerd without CRI, so without a network plugin.
const Daemon kContainerd = {
    "containerd", words("containerd --config {dir}/containerd.toml"),
    words("ctr --address {run}/containerd.sock version")};

const std::vector<std::string> kImportTar =
    words("{client} import {dir}/image.tar orva-busybox:test");

const std::map<std::string, Row> kEngines = {
    // dockerd on a containerd of its own: no iptables, masquerading, IP
    // forwarding or bridge. Older dockerd write an identity key to
    // /etc/docker unless told where; newer ones have no key and refuse the
    // setting.
    {"docker",
     {.files = {{"{dir}/containerd.toml", kContainerdConfig},
                {"{dir}/daemon.json",
                 R"({"deprecated-key-path": "{dir}/key.json"})"
                 "\n"}},
      .daemons = {kContainerd,
                  {"dockerd",
                   words("dockerd --config-file {dir}/daemon.json "
                         "--containerd {run}/containerd.sock "
                         "--containerd-namespace orva-docker "
                         "--containerd-plugins-namespace orva-docker-plugins "
                         "--data-root {dir}/data --exec-root {run}/exec "
                         "--pidfile {run}/docker.pid "
                         "--host unix://{run}/docker.sock --iptables=false "
                         "--ip-masq=false --ip-forward=false --bridge=none "
                         "--exec-opt native.cgroupdriver=cgroupfs "
                         "--init-path {init}"),
                   words("{client} version"),
                   "deprecated-key-path",
                   {"{dir}/daemon.json", "{}\n"}}},
      .client = words("env DOCKER_CONFIG={dir}/client docker "
                      "--host unix://{run}/docker.sock"),
      .imports = {kImportTar}}},
    // Podman, daemonless, with every pod's infrastructure image one that
    // holds orva-init-static alone and runs it as `orva-init --pause` (its
    // entrypoint: Podman 4 takes no infra_command from containers.conf),
    // so that no other pause or init program runs. As root, Podman asks
    // for limits beyond the hard ones unless told otherwise, which fails
    // without CAP_SYS_RESOURCE; it lowers its own process limit to 32768.
    {"podman",
     {.files = {{"{dir}/containers.conf", R"([containers]
init_path = "{init}"
default_ulimits = ["nofile={nofile}:{nofile}", "nproc={nproc}:{nproc}"]
[network]
network_config_dir = "{dir}/networks"
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
events_logfile_path = "{dir}/events.log"
tmp_dir = "{run}/tmp"
volume_path = "{dir}/volumes"
infra_image = "localhost/orva-pause:test"
)"},
                {"{dir}/storage.conf", R"([storage]
driver = "overlay"
graphroot = "{dir}/graph"
runroot = "{run}/storage"
)"}},
      .client = words("env CONTAINERS_CONF={dir}/containers.conf "
                      "CONTAINERS_STORAGE_CONF={dir}/storage.conf podman"),
      .steps = {words("install -D -m 0755 {init} {dir}/pause/orva-init"),
                words("tar -C {dir}/pause -cf {dir}/pause.tar ."),
                joined(words("{client} import --change"),
                       {R"(ENTRYPOINT ["/orva-init", "--pause"])",
                        "{dir}/pause.tar", "orva-pause:test"})},
      .imports = {kImportTar}}},
    // ctr alone on containerd; the image as an OCI archive, the same root
    // as one layer.
    {"containerd",
     {.files = {{"{dir}/containerd.toml", kContainerdConfig}},
      .daemons = {kContainerd},
      .client = words("ctr --address {run}/containerd.sock "
                      "--namespace orva-test"),
      .imports = {words("umoci init --layout {dir}/layout"),
                  words("umoci new --image {dir}/layout:test"),
                  words("umoci insert --image {dir}/layout:test {dir}/image /"),
                  words("tar -C {dir}/layout -cf {dir}/oci.tar ."),
                  words("{client} images import --base-name orva-busybox "
                        "{dir}/oci.tar")},
      .walk = kCtr}},
};

// How a container of the walk is run.
struct Options {
  std::vector<std::string> env{}; // NAME=VALUE each
  const char *user = nullptr;
  bool tty = false;
  bool interactive = false;
};

using Values = std::map<std::string, std::string>;

// Stops a daemon by SIGTERM and a wait; "" once it has ended, or why not.
std::string stop(Process &daemon, const std::string &log) {
  daemon.send(SIGTERM);
  return daemon.wait(30s).timed_out
             ? "did not end within 30 s of SIGTERM: " + tail(read_file(log))
             : "";
}

// An engine of the test's own, made from its row, with its data in
// fresh_dir(`name`) and its sockets and run-time state in a ShortDir: its
// files written, its daemons started through `within` (a prefix such as
// nsenter into the namespaces of a node of its own), each answering
// before the next starts, and its steps run. The daemons are stopped in
// the reverse order, each by SIGTERM and a wait, as its own shutdown
// expects; the kernel sends the SIGTERM should the test die first.
class Engine {
public:
  explicit Engine(const std::string &kind, const std::string &name = "",
                  const std::vector<std::string> &within = {})
      : row_(kEngines.at(kind)), dir_(fresh_dir(name.empty() ? kind : name)),
        within_(within), values_(values(dir_, run_.path())),
        client_(filled(row_.client)) {
    for (const auto &[path, text] : row_.files) {
      write_file(filled(path), filled(text));
    }
    for (const Daemon &daemon : row_.daemons) {
      if (error_ = start(daemon); !error_.empty()) {
        return;
      }
    }
    error_ = run_steps(filled(row_.steps));
  }
  ~Engine() { (void)shut_down(); }
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // Set when it could not be started; the test should fail with it.
  const std::string &error() const { return error_; }
  const std::string &dir() const { return dir_; }

  // "" once every daemon has ended, or why not.
  std::string shut_down() {
    std::string why;
    for (auto d = daemons_.rbegin(); d != daemons_.rend(); ++d) {
      why += stop(*d->second, d->first);
    }
    daemons_.clear();
    return why;
  }

  // "" once the image is imported as kImage, or why not.
  std::string import_image() const {
    const std::string why = image_tar(dir_);
    return why.empty() ? run_steps(filled(row_.imports)) : why;
  }

  // The client with its connection options, then `args`.
  std::vector<std::string> cmd(std::initializer_list<std::string> args) const {
    return joined(client_, args);
  }

  std::vector<std::string> run_cmd(const std::string &name, const Options &o,
                                   const std::vector<std::string> &cmd) const {
    std::vector<std::string> argv = filled(row_.walk.run, {{"{name}", name}});
    for (const std::string &assignment : o.env) {
      argv.insert(argv.end(), {row_.walk.env, assignment});
    }
    if (o.user != nullptr) {
      argv.insert(argv.end(), {"-u", o.user});
    }
    if (o.tty) {
      argv.push_back(o.interactive ? "-it" : "-t");
    }
    argv.push_back(kImage);
    return joined(joined(argv, filled(row_.walk.entry, {{"{name}", name}})),
                  cmd);
  }
  std::vector<std::string> stop_cmd(const std::string &name, int grace) const {
    return filled(row_.walk.stop,
                  {{"{name}", name}, {"{grace}", std::to_string(grace)}});
  }
  std::vector<std::string> kill_cmd(const std::string &name,
                                    const std::string &signal) const {
    return filled(row_.walk.kill, {{"{name}", name}, {"{signal}", signal}});
  }
  std::vector<std::string> exec_cmd(const std::string &name,
                                    const std::vector<std::string> &cmd) const {
    return joined(filled(row_.walk.exec,
                         {{"{name}", name}, {"{n}", std::to_string(++execs_)}}),
                  cmd);
  }
  void remove(const std::string &name) const {
    for (const auto &step : row_.walk.remove) {
      (void)orva_test::run(filled(step, {{"{name}", name}}));
    }
  }
  bool terminals() const { return row_.walk.terminals; }

private:
  static Values values(const std::string &dir, const std::string &run_dir) {
    rlimit files{};
    rlimit procs{};
    getrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NPROC, &procs);
    return {
        {"{dir}", dir},
        {"{run}", run_dir},
        {"{init}", kInit},
        {"{nofile}", std::to_string(files.rlim_max)},
        {"{nproc}", std::to_string(std::min<rlim_t>(procs.rlim_max, 32768))}};
  }

  std::string filled(std::string text, Values more = {}) const {
    more.insert(values_.begin(), values_.end());
    for (const auto &[key, value] : more) {
      for (size_t at = 0; (at = text.find(key, at)) != std::string::npos;
           at += value.size()) {
        text.replace(at, key.size(), value);
      }
    }
    return text;
  }

  std::vector<std::string> filled(const std::vector<std::string> &argv,
                                  const Values &more = {}) const {
    std::vector<std::string> out;
    for (const std::string &word : argv) {
      if (word == "{client}") {
        out.insert(out.end(), client_.begin(), client_.end());
      } else {
        out.push_back(filled(word, more));
      }
    }
    return out;
  }

  std::vector<std::vector<std::string>>
  filled(const std::vector<std::vector<std::string>> &steps) const {
    std::vector<std::vector<std::string>> out;
    for (const auto &step : steps) {
      out.push_back(filled(step));
    }
    return out;
  }

  std::string start(const Daemon &daemon) {
    const std::string log = dir_ + "/" + daemon.name + ".log";
    const std::vector<std::string> probe = filled(daemon.probe);
    for (int attempt = 0;; ++attempt) {
      daemons_.emplace_back(
          log,
          std::make_unique<Process>(joined(within_, filled(daemon.argv)),
                                    orva_test::Start{.out_file = log,
                                                     .err_too = true,
                                                     .death_signal = SIGTERM}));
      Process &running = *daemons_.back().second;
      std::string why;
      const auto deadline = steady_clock::now() + 60s;
      while (why.empty() && orva_test::run(probe, 10s).exit_code != 0) {
        if (!running.running()) {
          why = std::string(daemon.name) + " ended: " + tail(read_file(log));
        } else if (steady_clock::now() > deadline) {
          why = std::string(daemon.name) +
                " did not answer within 60 s: " + tail(read_file(log));
        } else {
          std::this_thread::sleep_for(100ms);
        }
      }
      if (why.empty() || attempt > 0 || daemon.refuses == nullptr ||
          why.find(daemon.refuses) == std::string::npos) {
        return why;
      }
      (void)stop(running, log);
      daemons_.pop_back();
      write_file(filled(daemon.instead.first), filled(daemon.instead.second));
    }
  }

  const Row &row_;
  std::string dir_;
  ShortDir run_;
  std::vector<std::string> within_;
  Values values_;
  std::vector<std::string> client_;
  std::vector<std::pair<std::string, std::unique_ptr<Process>>> daemons_;
  mutable int execs_ = 0;
  std::string error_;
};

// Runs a clean-up at the end of the scope, however the test ends.
struct AtEnd {
  std::function<void()> run;
  ~AtEnd() { run(); }
};

// The container's own program, what it shows of itself: process 1's
// command line and version, and its own pid and process group.
constexpr const char *kWhoAmI = R"sh(
set -- $(tr '\0' ' ' < /proc/1/cmdline)
echo "pid1 $2 $3"
/proc/1/exe --version
echo "me $$ $(cut -d' ' -f5 /proc/$$/stat)"
exit 3
)sh";

constexpr const char *kTrapTerm = R"sh(
trap 'echo got USR1' USR1
trap 'echo caught TERM; exit 7' TERM
for i in 1 2 3; do (sleep 0.3 &); done
echo ready
while :; do sleep 60 & wait $!; done
)sh";

// Stops on SIGQUIT alone, and dies of SIGTERM on the way out: a server
// that the platform stops with the wrong signal, and a runtime whose exit
// code after a stop reads as failure.
constexpr const char *kQuitThenTerm = R"sh(
trap 'echo caught QUIT; trap - TERM; kill -TERM $$' QUIT
echo ready
while :; do sleep 60 & wait $!; done
)sh";

constexpr const char *kIgnoreTerm = R"sh(
trap '' TERM
echo ready
sleep 60 & wait
)sh";

// pid, process group and the terminal's foreground group, on one line.
constexpr const char *kForeground =
    "echo fg $$ $(cut -d' ' -f5,8 /proc/$$/stat)";

constexpr const char *kReadLine =
    "echo ready; read line; echo \"read $line\"; exec sleep 60";

// Whether `ps -o pid,stat,args` shows process 1 given a command after --.
bool process1_is_orva(const std::string &ps) {
  std::istringstream lines(ps);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string pid;
    if (fields >> pid && pid == "1") {
      return line.find(" -- ") != std::string::npos;
    }
  }
  return false;
}

// One walk over the scenarios, on one engine.
void walk(const Engine &e, const std::string &engine) {
  const std::string prefix =
      "orva-walk-" + engine + "-" + std::to_string(getpid()) + "-";
  int count = 0;
  const auto next = [&] { return prefix + std::to_string(++count); };

  // Runs to their end: the exit code and what stderr must hold.
  const struct {
    std::vector<std::string> command;
    int code;
    const char *err_line;
  } ends[] = {
      {{"sh", "-c", kWhoAmI}, 3, nullptr},
      {{"sh", "-c", "kill -SEGV $$"}, 128 + SIGSEGV, nullptr},
      {{"/no-such-program"},
       127,
       "orva-init: /no-such-program: No such file or directory"},
  };
  for (const auto &c : ends) {
    SCOPED_TRACE(c.command.back());
    const Result r = orva_test::run(e.run_cmd(next(), {}, c.command), 60s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.code) << r.out << r.err;
    if (c.err_line != nullptr) {
      EXPECT_TRUE(has_line(r.err, c.err_line)) << r.err;
    }
    if (c.command.back() == kWhoAmI) {
      // Process 1 is orva, given the command after "--"; the program is
      // its child and leads a group of its own.
      EXPECT_TRUE(has_line(r.out, "pid1 -- sh")) << r.out;
      EXPECT_TRUE(has_line(r.out, "orva-init version " ORVA_EXPECTED_VERSION
                                  " - git." ORVA_EXPECTED_COMMIT))
          << r.out;
      long me = 0;
      long group = -1;
      const size_t at = r.out.find("\nme ");
      ASSERT_NE(at, std::string::npos) << r.out;
      std::istringstream(r.out.substr(at + 4)) >> me >> group;
      EXPECT_GT(me, 1) << r.out;
      EXPECT_EQ(group, me) << r.out;
    }
  }

  // Stops the container through the engine, by SIGTERM with `grace`
  // seconds before the engine's own SIGKILL, and waits for its end.
  const auto stopped = [&](const std::string &name, int grace, Process &box) {
    const Result stop = orva_test::run(e.stop_cmd(name, grace), 60s);
    EXPECT_EQ(stop.exit_code, 0) << stop.err;
    return box.wait(60s);
  };

  {
    SCOPED_TRACE("trapped TERM, USR1, orphans");
    const std::string name = next();
    Process box(e.run_cmd(name, {}, {"sh", "-c", kTrapTerm}));
    const AtEnd removed{[&] { e.remove(name); }};
    ASSERT_NE(box.wait_for_line("ready", 30s), "") << box.out();
    // An orphan of a process that `exec` started, beside the program's.
    const Result ex = orva_test::run(
        e.exec_cmd(name, {"sh", "-c", "(sleep 0.3 &); true"}), 30s);
    EXPECT_EQ(ex.exit_code, 0) << ex.err;
    orva_test::ProcessCount zombies;
    const ::testing::AssertionResult gone = orva_test::orphans_gone(
        [&](const std::vector<std::string> &argv) {
          return orva_test::run(e.exec_cmd(name, argv), 30s);
        },
        "sleep 0.3", zombies);
    EXPECT_TRUE(gone);
    // The count means something only if exec ran inside the container,
    // where process 1 is orva. Runtimes started in a plain chroot send it
    // to the machine's root instead.
    EXPECT_TRUE(process1_is_orva(gone.message()))
        << "exec ran outside the container (in a chroot? enter the root "
           "with pivot_root instead):\n"
        << gone.message();
    EXPECT_EQ(zombies.zombies, 0) << gone.message();
    const Result usr1 = orva_test::run(e.kill_cmd(name, "USR1"));
    EXPECT_EQ(usr1.exit_code, 0) << usr1.err;
    EXPECT_NE(box.wait_for_line("got USR1", 30s), "") << box.out();
    const Result r = stopped(name, 2, box);
    EXPECT_EQ(r.exit_code, 7) << r.out << r.err;
    EXPECT_TRUE(has_line(r.out, "caught TERM")) << r.out;
  }

  {
    SCOPED_TRACE("ignored TERM");
    const std::string name = next();
    Process box(e.run_cmd(name, {.env = {"ORVA_STOP_TIMEOUT=1"}},
                          {"sh", "-c", kIgnoreTerm}));
    const AtEnd removed{[&] { e.remove(name); }};
    ASSERT_NE(box.wait_for_line("ready", 30s), "") << box.out();
    const auto sent = steady_clock::now();
    const Result r = stopped(name, 30, box);
    const auto took = steady_clock::now() - sent;
    EXPECT_EQ(r.exit_code, 137) << r.out << r.err;
    // orva's SIGKILL after 1 s, long before the engine's after 30 s.
    EXPECT_GE(took, 800ms);
    EXPECT_LE(took, 15s);
  }

  {
    // What the engines' --init cannot pass as options comes as variables.
    SCOPED_TRACE("exit map and signal rewrite");
    const std::string name = next();
    Process box(e.run_cmd(
        name, {.env = {"ORVA_EXIT_MAP=143=0", "ORVA_SIGNAL_MAP=TERM=QUIT"}},
        {"sh", "-c", kQuitThenTerm}));
    const AtEnd removed{[&] { e.remove(name); }};
    ASSERT_NE(box.wait_for_line("ready", 30s), "") << box.out();
    const Result r = stopped(name, 10, box);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has_line(r.out, "caught QUIT")) << r.out;
  }

  if (!e.terminals()) {
    return;
  }
  // A terminal of the test's own, from script, for the engine's client.
  const auto on_terminal = [](const std::vector<std::string> &argv) {
    std::string line;
    for (const auto &w : argv) {
      line += (line.empty() ? "" : " ") + quoted(w);
    }
    return std::vector<std::string>{"script", "-qefc", line, "/dev/null"};
  };
  for (const char *user : {static_cast<const char *>(nullptr), "1000:1000"}) {
    SCOPED_TRACE(user != nullptr ? user : "root");
    Options o;
    o.tty = true;
    o.user = user;
    const Result r = orva_test::run(
        on_terminal(e.run_cmd(next(), o, {"sh", "-c", kForeground})), 60s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    long ids[3] = {-1, -2, -3};
    const size_t at = r.out.find("fg ");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::istringstream(r.out.substr(at + 3)) >> ids[0] >> ids[1] >> ids[2];
    EXPECT_GT(ids[0], 1) << r.out;
    EXPECT_EQ(ids[1], ids[0]) << r.out;
    EXPECT_EQ(ids[2], ids[0]) << r.out;
  }
  {
    SCOPED_TRACE("typed input and Ctrl-C");
    Options o;
    o.tty = true;
    o.interactive = true;
    const std::string name = next();
    Process p(on_terminal(e.run_cmd(name, o, {"sh", "-c", kReadLine})),
              {.input = true});
    ASSERT_NE(p.wait_for_line("ready", 30s), "") << p.out();
    ASSERT_TRUE(p.write("hello\r"));
    EXPECT_NE(p.wait_for_line("read hello", 15s), "") << p.out();
    ASSERT_TRUE(p.write("\x03"));
    const Result r = p.wait(30s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
    e.remove(name);
  }
}

// Why the engines cannot run here, or "".
std::string missing(std::initializer_list<const char *> programs) {
  return geteuid() != 0 ? "the engines need root"
                        : orva_test::missing(programs);
}

#define ORVA_REQUIRE_ENGINE(...)                                               \
  ORVA_REQUIRE(missing({__VA_ARGS__}), "engine tests")

// Runs `walk` and reports how long it took.
void timed_walk(const Engine &e, const std::string &engine) {
  const auto began = steady_clock::now();
  walk(e, engine);
  const auto ms =
      std::chrono::duration_cast<milliseconds>(steady_clock::now() - began);
  std::cout << engine << " walk: " << ms.count() << " ms\n";
  ::testing::Test::RecordProperty("walk_ms", static_cast<int>(ms.count()));
}

// A pod whose infrastructure container is orva-init --pause, from an image
// that holds nothing else: as process 1 of the pod's PID namespace it takes
// the orphans another container of the pod leaves behind and reaps them,
// and a stop of the pod ends it with 0.
void pause_pod(const Engine &podman) {
  ASSERT_EQ(
      run_steps({podman.cmd({"pod", "create", "--name", "orva-pod", "--network",
                             "none", "--share", "ipc,net,uts,pid",
                             "--infra-image", "orva-pause:test",
                             "--infra-command", "/orva-init --pause"}),
                 podman.cmd({"pod", "start", "orva-pod"})}),
      "");
  const auto in_pod = [&](const std::string &script) {
    return orva_test::run(podman.cmd({"run", "--rm", "--pod", "orva-pod",
                                      kImage, "/bin/sh", "-c", script}),
                          60s);
  };
  // The orphan's parent is process 1 of the pod while it runs.
  const Result left =
      in_pod("(exec sleep 0.5 &); sleep 0.2; ps -o ppid,stat,args");
  EXPECT_EQ(left.exit_code, 0) << left.err;
  EXPECT_TRUE(has_line(left.out, "    1 S    sleep 0.5")) << left.out;
  const Result after = in_pod("sleep 1; ps -o pid,stat,args");
  EXPECT_TRUE(has_line(after.out, "    1 S    /orva-init --pause"))
      << after.out;
  EXPECT_EQ(after.out.find(" Z "), std::string::npos) << after.out;
  const Result stop =
      orva_test::run(podman.cmd({"pod", "stop", "-t", "10", "orva-pod"}), 60s);
  EXPECT_EQ(stop.exit_code, 0) << stop.err;
  const Result infra = orva_test::run(podman.cmd(
      {"pod", "inspect", "orva-pod", "--format", "{{.InfraContainerID}}"}));
  const Result code = orva_test::run(
      podman.cmd({"inspect", infra.out.substr(0, infra.out.find('\n')),
                  "--format", "{{.State.ExitCode}}"}));
  EXPECT_EQ(code.out, "0\n") << code.err;
  (void)orva_test::run(podman.cmd({"pod", "rm", "--force", "orva-pod"}), 60s);
}

// Podman's own socket activation: systemd-socket-activate listens on
// loopback and, at the first client, starts podman with the socket, which
// Podman passes on to the container's process 1 with LISTEN_PID=1 and
// orva-init on to the program. The program answers; process 1 keeps no
// copy of the socket, so once the program has closed it only Podman's own
// monitor can hold it.
void socket_activation(const Engine &podman) {
  int port = 0;
  const int probe = orva_test::listen_on_loopback(port);
  ASSERT_GE(probe, 0);
  close(probe);
  Process activated(joined(
      {"systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port)},
      podman.cmd({"run", "--rm", "--init", "--network", "none", "--name",
                  "orva-activated", kImage, "/bin/linked-program", "serve"})));
  std::string answer = strerror(ECONNREFUSED);
  for (int i = 0; i < 100 && answer == strerror(ECONNREFUSED); ++i) {
    std::this_thread::sleep_for(50ms);
    answer = orva_test::answer_from(port, 60s);
  }
  EXPECT_EQ(answer, "hello\n");
  ASSERT_FALSE(activated.wait_for_line("serving", 30s).empty())
      << activated.out();
  const Result pid = orva_test::run(
      podman.cmd({"inspect", "orva-activated", "--format", "{{.State.Pid}}"}));
  const Result holders =
      orva_test::run({"ss", "-ltnpH", "sport = :" + std::to_string(port)});
  std::cout << "listening: " << holders.out;
  EXPECT_EQ(
      holders.out.find("pid=" + pid.out.substr(0, pid.out.find('\n')) + ","),
      std::string::npos)
      << "process 1 holds the socket: " << holders.out;
  EXPECT_NE(holders.out.find("\"linked-program\""), std::string::npos)
      << holders.out;
  const Result stop =
      orva_test::run(podman.cmd({"stop", "-t", "10", "orva-activated"}), 60s);
  EXPECT_EQ(stop.exit_code, 0) << stop.err;
  const Result r = activated.wait(60s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "draining")) << r.out;
}

TEST(Engine, Docker) {
  ORVA_REQUIRE_ENGINE("dockerd", "docker", "containerd", "ctr", "runc",
                      "script");
  Engine docker("docker");
  ASSERT_EQ(docker.error(), "");
  ASSERT_EQ(docker.import_image(), "");
  timed_walk(docker, "docker");

  // dockerd reads the init's version and commit for docker info.
  const Result info = orva_test::run(docker.cmd({"info"}));
  EXPECT_EQ(info.exit_code, 0) << info.err;
  std::istringstream lines(info.out);
  std::string line;
  std::string shown;
  while (std::getline(lines, line)) {
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower.find("init version") != std::string::npos) {
      shown = line;
    }
  }
  EXPECT_NE(shown.find(ORVA_EXPECTED_COMMIT), std::string::npos) << info.out;
  std::cout << "docker info:" << shown << "\n";
  EXPECT_EQ(docker.shut_down(), "");
  const std::string log = read_file(docker.dir() + "/dockerd.log");
  EXPECT_EQ(log.find("failed to parse"), std::string::npos) << log;
}

// The swarm's nodes, each a network and UTS namespace of its own, held by
// files in `run_dir` that go with it, and joined by a veth pair on
// addresses of the documentation range (192.0.2.0/24): nothing else is
// on their networks, so the swarm's traffic never leaves the pair. Gives,
// for each node, the prefix that runs a command in it; "" or why not.
constexpr size_t kNodes = 2;

std::string node_address(size_t node) {
  return "192.0.2." + std::to_string(node + 1);
}

std::string make_nodes(const std::string &run_dir,
                       std::vector<std::vector<std::string>> &within) {
  std::vector<std::vector<std::string>> steps;
  std::vector<std::string> nets;
  for (size_t i = 0; i < kNodes; ++i) {
    const std::string name = "orva-node-" + std::to_string(i + 1);
    const std::string net = run_dir + "/" + name + ".net";
    const std::string uts = run_dir + "/" + name + ".uts";
    write_file(net, "");
    write_file(uts, "");
    nets.push_back(net);
    // The host name is what the swarm shows as the node's.
    steps.push_back(
        {"unshare", "--net=" + net, "--uts=" + uts, "hostname", name});
    within.push_back({"nsenter", "--net=" + net, "--uts=" + uts});
  }
  steps.push_back({"ip", "link", "add", "orva-swarm-1", "netns", nets[0],
                   "type", "veth", "peer", "name", "orva-swarm-2", "netns",
                   nets[1]});
  for (size_t i = 0; i < kNodes; ++i) {
    const std::string dev = "orva-swarm-" + std::to_string(i + 1);
    steps.push_back(joined(within[i], {"ip", "link", "set", "lo", "up"}));
    steps.push_back(joined(within[i], {"ip", "address", "add",
                                       node_address(i) + "/24", "dev", dev}));
    steps.push_back(joined(within[i], {"ip", "link", "set", dev, "up"}));
  }
  return run_steps(steps);
}

// Two services spread evenly over the nodes, with orva as the init and its
// settings in the environment: a stop timeout well below the grace period,
// and 143 (death by SIGTERM) read as success. The tasks of "stops" leave
// three orphans and die of SIGTERM after saying so; those of "holds", and
// all they start, ignore it. They run on the node's own network, `host`:
// the overlay network a stack makes by default needs iptables, and the
// swarm has no `none`. A task that ends is not restarted, so that the
// exit code it ended with stays its last.
constexpr const char *kStack = R"(version: "3.8"
x-orva: &orva
  image: orva-busybox:test
  init: true
  stop_grace_period: 10s
  environment:
    ORVA_EXIT_MAP: "143=0"
    ORVA_STOP_TIMEOUT: "1s"
  networks: [host]
services:
  stops:
    <<: *orva
    command:
      - sh
      - -c
      - |
        trap 'echo caught TERM; trap - TERM; kill -TERM $$$$' TERM
        for i in 1 2 3; do (sleep 0.3 &); done
        echo ready
        while :; do sleep 60 & wait $$!; done
    deploy:
      replicas: 4
      placement: {max_replicas_per_node: 2}
      update_config: {parallelism: 2, monitor: 1s}
      restart_policy: {condition: none}
  holds:
    <<: *orva
    command: [sh, -c, "trap '' TERM; echo ready; while :; do sleep 1; done"]
    deploy:
      replicas: 2
      placement: {max_replicas_per_node: 1}
      update_config: {parallelism: 2, monitor: 1s}
      restart_policy: {condition: none}
networks:
  host:
    external: true
    name: host
)";
// The stack's grace period and stop timeout.
constexpr auto kGrace = 10s;
constexpr auto kStopTimeout = 1s;

// A task as the swarm's manager records it.
struct Task {
  std::string name; // service.slot
  std::string node; // host name
  std::string desired;
  std::string state;
  int exit_code = -1;
};

std::vector<Task> tasks(const Engine &manager, const std::string &service) {
  std::map<std::string, std::string> hosts;
  for (const std::string &line :
       lines_of(orva_test::run(manager.cmd({"node", "ls", "--format",
                                            "{{.ID}} {{.Hostname}}"}))
                    .out)) {
    hosts[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
  }
  std::vector<std::string> argv = manager.cmd(
      {"inspect", "--type", "task", "--format",
       "{{.Slot}} {{.NodeID}} {{.DesiredState}} {{.Status.State}} "
       "{{with .Status.ContainerStatus}}{{.ExitCode}}{{else}}-1{{end}}"});
  const std::vector<std::string> ids =
      lines_of(orva_test::run(
                   manager.cmd({"service", "ps", "-q", "--no-trunc", service}))
                   .out);
  std::vector<Task> all;
  if (ids.empty()) {
    return all;
  }
  for (const std::string &line :
       lines_of(orva_test::run(joined(argv, ids)).out)) {
    Task t;
    std::string slot;
    std::string node;
    std::istringstream(line) >> slot >> node >> t.desired >> t.state >>
        t.exit_code;
    t.name = service + "." + slot;
    t.node = hosts[node];
    all.push_back(t);
  }
  return all;
}

// The tasks meant to run, or meant to be shut down.
std::vector<Task> with_desired(const std::vector<Task> &all,
                               const std::string &desired) {
  std::vector<Task> some;
  std::copy_if(all.begin(), all.end(), std::back_inserter(some),
               [&](const Task &t) { return t.desired == desired; });
  return some;
}

std::set<std::string> nodes_of(const std::vector<Task> &some) {
  std::set<std::string> nodes;
  for (const Task &t : some) {
    nodes.insert(t.node);
  }
  return nodes;
}

// Whether `count` tasks of the service run.
bool running(const Engine &manager, const std::string &service, size_t count) {
  const std::vector<Task> up = with_desired(tasks(manager, service), "running");
  return up.size() == count &&
         std::all_of(up.begin(), up.end(),
                     [](const Task &t) { return t.state == "running"; });
}

// The containers of a service on one node, of those in `status` if given.
std::vector<std::string> containers(const Engine &node,
                                    const std::string &service,
                                    const std::string &status = "") {
  std::vector<std::string> argv =
      node.cmd({"ps", "-aq", "--filter",
                "label=com.docker.swarm.service.name=" + service});
  if (!status.empty()) {
    argv.insert(argv.end(), {"--filter", "status=" + status});
  }
  return lines_of(orva_test::run(argv).out);
}

// What a node's dockerd recorded of a container's stop: the signals it
// sent, in order, and how long after the first one the container died,
// with what exit code.
struct Stop {
  std::vector<std::string> signals;
  milliseconds took{-1};
  int exit_code = -1;
};

// A time as docker's --since and --until take it: seconds and nanoseconds.
std::string unix_time(std::chrono::system_clock::time_point t) {
  const long long ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch())
          .count();
  std::string fraction = std::to_string(ns % 1000000000);
  fraction.insert(0, 9 - fraction.size(), '0');
  return std::to_string(ns / 1000000000) + "." + fraction;
}

Stop stop_of(const Engine &node, const std::string &id,
             std::chrono::system_clock::time_point since) {
  const Result events = orva_test::run(node.cmd(
      // Up to now and no later: events waits for a --until to come.
      {"events", "--since", unix_time(since), "--until",
       unix_time(std::chrono::system_clock::now()), "--filter",
       "container=" + id, "--filter", "event=kill", "--filter", "event=die",
       "--format",
       "{{.TimeNano}} {{.Action}} {{index .Actor.Attributes \"signal\"}}"
       "{{index .Actor.Attributes \"exitCode\"}}"}));
  Stop stop;
  long long first = 0;
  for (const std::string &line : lines_of(events.out)) {
    long long ns = 0;
    std::string action;
    std::string value;
    std::istringstream(line) >> ns >> action >> value;
    if (action == "kill") {
      first = stop.signals.empty() ? ns : first;
      stop.signals.push_back(value);
    } else if (action == "die" && !stop.signals.empty()) {
      stop.took = std::chrono::duration_cast<milliseconds>(
          std::chrono::nanoseconds(ns - first));
      stop.exit_code = std::stoi(value);
    }
  }
  return stop;
}

TEST(Engine, Swarm) {
  ORVA_REQUIRE_ENGINE("dockerd", "docker", "containerd", "ctr", "runc", "ip",
                      "nsenter", "unshare");
  const auto began = std::chrono::system_clock::now();
  const std::string dir = fresh_dir("swarm");
  const ShortDir run_dir;
  std::vector<std::vector<std::string>> within;
  ASSERT_EQ(make_nodes(run_dir.path(), within), "");
  std::vector<std::unique_ptr<Engine>> nodes;
  for (size_t i = 0; i < kNodes; ++i) {
    nodes.push_back(std::make_unique<Engine>(
        "docker", "swarm/node-" + std::to_string(i + 1), within[i]));
    ASSERT_EQ(nodes[i]->error(), "");
  }
  const Engine &manager = *nodes[0];
  // Whatever happens, no task is left running when the daemons stop.
  const AtEnd clean_up{[&] {
    (void)orva_test::run(
        manager.cmd({"service", "rm", "orva_stops", "orva_holds"}));
    (void)eventually(
        [&] {
          return std::all_of(nodes.begin(), nodes.end(), [](const auto &n) {
            return orva_test::run(n->cmd({"ps", "-aq"})).out.empty();
          });
        },
        30s);
  }};

  const Result init = orva_test::run(
      manager.cmd({"swarm", "init", "--advertise-addr", node_address(0),
                   "--listen-addr", node_address(0) + ":2377",
                   // the ingress network's addresses, out of every range
                   // in use
                   "--default-addr-pool", "198.19.0.0/16"}));
  ASSERT_EQ(init.exit_code, 0) << init.err;
  const Result secret =
      orva_test::run(manager.cmd({"swarm", "join-token", "-q", "worker"}));
  ASSERT_EQ(secret.exit_code, 0) << secret.err;
  for (size_t i = 1; i < kNodes; ++i) {
    ASSERT_EQ(run_steps({nodes[i]->cmd(
                  {"swarm", "join", "--token", lines_of(secret.out).at(0),
                   "--advertise-addr", node_address(i), "--listen-addr",
                   node_address(i) + ":2377", node_address(0) + ":2377"})}),
              "");
  }
  for (const auto &node : nodes) {
    ASSERT_EQ(node->import_image(), "");
  }
  write_file(dir + "/stack.yml", kStack);
  // The image is each node's own: no registry is asked for its digest.
  ASSERT_EQ(
      run_steps({manager.cmd({"stack", "deploy", "--resolve-image", "never",
                              "-c", dir + "/stack.yml", "orva"})}),
      "");
  ASSERT_TRUE(eventually(
      [&] {
        return running(manager, "orva_stops", 4) &&
               running(manager, "orva_holds", 2);
      },
      60s))
      << orva_test::run(
             manager.cmd({"service", "ps", "orva_stops", "orva_holds"}))
             .out;

  {
    SCOPED_TRACE("process 1 and orphans of every task");
    for (size_t i = 0; i < kNodes; ++i) {
      std::vector<std::string> ids = containers(*nodes[i], "orva_stops");
      EXPECT_EQ(ids.size(), 2u) << "on node " << i + 1;
      for (const std::string &id : containers(*nodes[i], "orva_holds")) {
        ids.push_back(id);
      }
      for (const std::string &id : ids) {
        const auto exec = [&](const std::vector<std::string> &argv) {
          return orva_test::run(joined(nodes[i]->cmd({"exec", id}), argv), 30s);
        };
        EXPECT_TRUE(eventually(
            [&] {
              return has_line(orva_test::run(nodes[i]->cmd({"logs", id})).out,
                              "ready");
            },
            30s));
        EXPECT_TRUE(has_line(exec({"/proc/1/exe", "--version"}).out,
                             "orva-init version " ORVA_EXPECTED_VERSION
                             " - git." ORVA_EXPECTED_COMMIT));
        orva_test::ProcessCount count;
        const ::testing::AssertionResult gone =
            orva_test::orphans_gone(exec, "sleep 0.3", count);
        EXPECT_TRUE(gone);
        EXPECT_TRUE(process1_is_orva(gone.message())) << gone.message();
        EXPECT_EQ(count.zombies, 0) << gone.message();
      }
    }
  }

  // A rolling update stops each old task: the program's code, mapped,
  // where it stops on SIGTERM, and orva's SIGKILL where it does not. The
  // swarm sends SIGTERM a moment after it decides to stop a task (for its
  // load balancers to forget it); the grace period counts from there, and
  // no SIGKILL of the swarm's own follows.
  const struct {
    const char *service;
    size_t replicas;
    int code;
    const char *said;
  } updates[] = {{"orva_stops", 4, 0, "caught TERM"},
                 {"orva_holds", 2, 137, "ready"}};
  for (const auto &u : updates) {
    SCOPED_TRACE(u.service);
    ASSERT_EQ(run_steps({manager.cmd({"service", "update", "--force",
                                      "--detach=false", "--no-resolve-image",
                                      u.service})}),
              "");
    const std::vector<Task> old =
        with_desired(tasks(manager, u.service), "shutdown");
    EXPECT_EQ(old.size(), u.replicas);
    EXPECT_EQ(nodes_of(old).size(), kNodes);
    for (const Task &t : old) {
      EXPECT_EQ(t.exit_code, u.code) << t.name << " on " << t.node;
    }
    // The nodes' own record of the same.
    size_t stopped = 0;
    for (size_t i = 0; i < kNodes; ++i) {
      for (const std::string &id : containers(*nodes[i], u.service, "exited")) {
        ++stopped;
        const Stop stop = stop_of(*nodes[i], id, began);
        std::cout << u.service << " on orva-node-" << i + 1
                  << ": SIGTERM, then " << stop.exit_code << " after "
                  << stop.took.count() << " ms\n";
        EXPECT_EQ(stop.signals, std::vector<std::string>{"15"});
        EXPECT_EQ(stop.exit_code, u.code);
        EXPECT_GE(stop.took, u.code == 137 ? kStopTimeout : 0s);
        EXPECT_LT(stop.took, kGrace);
        const Result logs = orva_test::run(nodes[i]->cmd({"logs", id}));
        EXPECT_TRUE(has_line(logs.out, u.said)) << logs.out;
      }
    }
    EXPECT_EQ(stopped, u.replicas);
  }

  // What the swarm shows, for the log.
  for (const auto &argv :
       {manager.cmd({"node", "ls"}),
        manager.cmd({"service", "ps", "orva_stops", "orva_holds"})}) {
    std::cout << orva_test::run(argv).out;
  }
  for (const char *service : {"orva_stops", "orva_holds"}) {
    for (const Task &t : tasks(manager, service)) {
      std::cout << t.name << " on " << t.node << ": " << t.state;
      if (t.state != "running") {
        std::cout << ", exit code " << t.exit_code;
      }
      std::cout << "\n";
    }
  }

  const Result removed = orva_test::run(
      manager.cmd({"service", "rm", "orva_stops", "orva_holds"}));
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  for (size_t i = 0; i < kNodes; ++i) {
    EXPECT_TRUE(eventually(
        [&] {
          return containers(*nodes[i], "orva_stops").empty() &&
                 containers(*nodes[i], "orva_holds").empty();
        },
        30s))
        << "containers left on node " << i + 1;
  }
  for (size_t i = kNodes; i-- > 0;) {
    EXPECT_EQ(nodes[i]->shut_down(), "");
  }
  std::cout << "swarm: "
            << std::chrono::duration_cast<milliseconds>(
                   std::chrono::system_clock::now() - began)
                   .count()
            << " ms\n";
}

TEST(Engine, Podman) {
  ORVA_REQUIRE_ENGINE("podman", "runc", "script", "systemd-socket-activate",
                      "ss");
  const Engine podman("podman");
  ASSERT_EQ(podman.error(), "");
  const AtEnd clean_up{[&] {
    (void)orva_test::run(podman.cmd({"rm", "--all", "--force"}));
    unmount_below(podman.dir());
  }};
  ASSERT_EQ(podman.import_image(), "");
  timed_walk(podman, "podman");
  {
    SCOPED_TRACE("pause pod");
    pause_pod(podman);
  }
  {
    SCOPED_TRACE("socket activation");
    socket_activation(podman);
  }
}

// The first line of a command's output.
std::string first_line(const Result &r) {
  return r.out.substr(0, r.out.find('\n'));
}

// The example pod of examples/container run by `podman kube play` from
// the example images, built from their Containerfiles and tagged as the
// pod names them, so that nothing is pulled.
TEST(Engine, Kube) {
  ORVA_REQUIRE_ENGINE("podman", "runc");
  const auto began = steady_clock::now();
  const Engine podman("podman", "kube");
  const std::string &dir = podman.dir();
  ASSERT_EQ(podman.error(), "");
  const AtEnd clean_up{[&] {
    (void)orva_test::run(podman.cmd({"pod", "rm", "--all", "--force"}));
    unmount_below(dir);
  }};
  const std::string pod = ORVA_EXAMPLES_DIR "/pod.yaml";
  const struct {
    const char *image;
    const char *containerfile;
    std::vector<std::pair<std::string, std::string>> context;
  } images[] = {
      {"registry.example.com/orva-worker:0.1.0",
       "Containerfile.linked",
       {{ORVA_EXAMPLE_WORKER_PATH, "worker"}}},
      {"registry.example.com/orva-launcher:0.1.0",
       "Containerfile.launcher",
       {{kInit, "orva-init-static"}, {orva_test::busybox_path(), "busybox"}}},
  };
  std::set<std::string> built;
  for (const auto &image : images) {
    const std::string context = dir + "/" + image.containerfile;
    fs::create_directories(context);
    for (const auto &[from, name] : image.context) {
      fs::copy_file(from, context + "/" + name,
                    fs::copy_options::overwrite_existing);
    }
    ASSERT_EQ(run_steps({podman.cmd(
                  {"build", "--pull=never", "-q", "-f",
                   std::string(ORVA_EXAMPLES_DIR) + "/" + image.containerfile,
                   "-t", image.image, context})}),
              "");
    built.insert(image.image);
  }
  for (std::string line : lines_of(read_file(pod))) {
    line.erase(0, line.find_first_not_of(" -"));
    if (line.rfind("image: ", 0) == 0) {
      ASSERT_EQ(built.count(line.substr(7)), 1u)
          << "pod.yaml names an image the test does not build: " << line;
    }
  }

  // Podman 4 ignores terminationGracePeriodSeconds and gives each
  // container its default stop timeout of 10 s; its kube down sends
  // SIGKILL at once, so a pod is stopped first. Podman 5 takes the grace
  // period, and kube down stops the pod with it.
  const int major =
      std::atoi(first_line(orva_test::run(podman.cmd(
                               {"version", "--format", "{{.Client.Version}}"})))
                    .c_str());
  const struct {
    const char *how;
    std::vector<std::vector<std::string>> steps;
    bool graceful;
  } ways[] = {
      {"kube down", {podman.cmd({"kube", "down", pod})}, major >= 5},
      {"pod stop, kube down",
       {podman.cmd({"pod", "stop", "orva-example"}),
        podman.cmd({"kube", "down", pod})},
       true},
  };
  for (const auto &way : ways) {
    SCOPED_TRACE(way.how);
    ASSERT_EQ(
        run_steps({podman.cmd({"kube", "play", "--network", "none", pod})}),
        "");
    std::cout << orva_test::run(podman.cmd({"ps", "--pod"})).out;
    // Process 1 of each is orva, with the program as its child.
    const struct {
      const char *name;
      const char *process1;
    } containers[] = {{"orva-example-worker", "/worker"},
                      {"orva-example-legacy", "/orva-init -- /bin/busybox"}};
    std::map<std::string, std::string> ids;
    for (const auto &c : containers) {
      const Result top =
          orva_test::run(podman.cmd({"top", c.name, "pid", "ppid", "args"}));
      std::string first;
      int children = 0;
      for (const std::string &line : lines_of(top.out)) {
        std::istringstream fields(line);
        std::string pid;
        std::string ppid;
        fields >> pid >> ppid;
        first = pid == "1" ? line : first;
        children += ppid == "1" ? 1 : 0;
      }
      EXPECT_NE(first.find(std::string(" ") + c.process1), std::string::npos)
          << top.out << top.err;
      EXPECT_EQ(children, 1) << top.out;
      ids[c.name] = first_line(orva_test::run(podman.cmd(
          {"inspect", c.name, "--format", "{{.Id}} {{.Config.StopTimeout}}"})));
    }
    const std::string grace = ids["orva-example-worker"].substr(
        ids["orva-example-worker"].find(' ') + 1);
    EXPECT_EQ(grace, major >= 5 ? "30" : "10");

    const auto sent = steady_clock::now();
    ASSERT_EQ(run_steps(way.steps), "");
    const auto took =
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - sent);
    std::cout << way.how << ": " << took.count() << " ms, stop timeout "
              << grace << " s\n";
    for (const auto &[name, id] : ids) {
      const Result died = orva_test::run(podman.cmd(
          {"events", "--stream=false", "--filter",
           "container=" + id.substr(0, id.find(' ')), "--filter", "event=died",
           "--format", "{{.Name}} {{.ContainerExitCode}}"}));
      std::cout << died.out;
      // The programs stop on SIGTERM with 0; a SIGKILL ends them with 137.
      EXPECT_EQ(died.out, name + (way.graceful ? " 0\n" : " 137\n"))
          << died.err;
    }
    EXPECT_LT(took, std::chrono::seconds(std::stoi(grace)));
  }

  {
    SCOPED_TRACE("shareProcessNamespace");
    ASSERT_EQ(run_steps({podman.cmd({"kube", "play", "--network", "none",
                                     ORVA_EXAMPLES_DIR "/shared-pod.yaml"})}),
              "");
    const auto exec = [&](const std::vector<std::string> &argv) {
      return orva_test::run(
          joined(podman.cmd({"exec", "orva-shared-app"}), argv), 30s);
    };
    // An orphan of exec's, beside the program's.
    const Result left = exec({"/bin/busybox", "sh", "-c", "(sleep 0.3 &)"});
    EXPECT_EQ(left.exit_code, 0) << left.err;
    orva_test::ProcessCount count;
    const ::testing::AssertionResult gone =
        orva_test::orphans_gone(exec, "sleep 0.3", count);
    EXPECT_TRUE(gone);
    EXPECT_TRUE(has_line(gone.message(), "    1 S    /orva-init --pause"))
        << gone.message();
    // Still there as the program's parent: without ORVA_SUBREAPER=1 it
    // would have become the program.
    EXPECT_NE(
        std::string(gone.message()).find(" /orva-init -- /bin/busybox sh -c "),
        std::string::npos)
        << gone.message();
    EXPECT_EQ(count.zombies, 0) << gone.message();
    ASSERT_EQ(run_steps({podman.cmd(
                  {"kube", "down", ORVA_EXAMPLES_DIR "/shared-pod.yaml"})}),
              "");
  }
  std::cout << "kube: "
            << std::chrono::duration_cast<milliseconds>(steady_clock::now() -
                                                        began)
                   .count()
            << " ms\n";
}

TEST(Engine, Containerd) {
  ORVA_REQUIRE_ENGINE("containerd", "ctr", "runc", "umoci");
  Engine ctr("containerd");
  ASSERT_EQ(ctr.error(), "");
  ASSERT_EQ(ctr.import_image(), "");
  timed_walk(ctr, "containerd");
  EXPECT_EQ(ctr.shut_down(), "");
  unmount_below(ctr.dir());
}

} // namespace
