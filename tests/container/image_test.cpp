// SPDX-License-Identifier: MIT
// The example Containerfiles built into images the way a user builds them:
// buildah in storage of the test's own, skopeo to an OCI layout, umoci to a
// bundle, then runc with the image's own entrypoint and environment. The
// build context holds this build's files; nothing is pulled.
#include "runtime.h"

#include <orva.h>

#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using orva_test::Container;
using orva_test::has_line;
using orva_test::joined;
using orva_test::Process;
using orva_test::ProcessCount;
using orva_test::Result;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Skips the test without the image tools, or fails it when
// ORVA_REQUIRE_PID1 is set, as the container tests do without runc.
#define ORVA_REQUIRE_IMAGE_TOOLS()                                             \
  ORVA_REQUIRE(orva_test::missing({"buildah", "skopeo", "umoci"}),             \
               "image tests")

struct Example {
  const char *name;
  const char *containerfile; // in examples/container
  // The build context: files of this build and the names the file expects.
  std::vector<std::pair<std::string, std::string>> context;
  std::vector<std::string> entrypoint;
  // A command (replacing the image's) that ends by itself with `code`.
  std::vector<std::string> exits;
  int code;
  // What the program writes once running, and on a SIGTERM it stops on.
  const char *running;
  const char *stopping;
  // A command that does not end on SIGTERM within the stop timeout.
  std::vector<std::string> holds_on;
  // The image has no busybox; the test lends it the host's for ps.
  bool lend_busybox;
};

[[maybe_unused]] void PrintTo(const Example &e, std::ostream *os) {
  *os << e.containerfile;
}

// One Containerfile built and exported to an OCI layout, in a directory of
// its own that goes with it.
class Image {
public:
  explicit Image(const Example &e)
      : work_(std::string(ORVA_CONTAINER_WORK_DIR) + "/image-" +
              std::to_string(getpid()) + "-" + e.name),
        tag_(e.name) {
    error_ = build(e);
  }
  ~Image() {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;

  const std::string &error() const { return error_; }

  std::string unpack(const std::string &bundle) const {
    const Result r = orva_test::run(
        {"umoci", "unpack", "--image", work_ + "/layout:" + tag_, bundle});
    return r.exit_code == 0 ? "" : "umoci unpack: " + r.err;
  }

private:
  std::string build(const Example &e) const {
    const fs::path context = fs::path(work_) / "context";
    std::error_code ec;
    fs::remove_all(work_, ec);
    fs::create_directories(context, ec);
    fs::create_directories(fs::path(work_) / "tmp", ec);
    std::vector<std::pair<std::string, std::string>> files = e.context;
    files.emplace_back(std::string(ORVA_EXAMPLES_DIR) + "/" + e.containerfile,
                       e.containerfile);
    for (const auto &[host, name] : files) {
      if (!fs::copy_file(host, context / name, ec)) {
        return "copy " + host + ": " + ec.message();
      }
    }
    // Of its own, so that neither the host's policy nor its registries
    // take part; FROM scratch needs no pull.
    const std::string policy = work_ + "/policy.json";
    std::ofstream(policy)
        << R"({"default": [{"type": "insecureAcceptAnything"}]})"
        << "\n";

    const std::string storage = work_ + "/storage";
    // Run-time state in /tmp, out of reach of the build tree's depth.
    const orva_test::ShortDir runroot_dir;
    const std::string &runroot = runroot_dir.path();
    const std::string image = "localhost/orva-example:" + tag_;
    const std::string tmpdir = "TMPDIR=" + work_ + "/tmp";
    const Result built = orva_test::run({"env",
                                         tmpdir,
                                         "buildah",
                                         "--root",
                                         storage,
                                         "--runroot",
                                         runroot,
                                         "--storage-driver",
                                         "vfs",
                                         "bud",
                                         "--pull=never",
                                         "--format",
                                         "oci",
                                         "--signature-policy",
                                         policy,
                                         "-f",
                                         (context / e.containerfile).string(),
                                         "-t",
                                         image,
                                         context.string()},
                                        120s);
    if (built.exit_code != 0) {
      return "buildah bud: " + built.err;
    }
    const Result copied = orva_test::run(
        {"env", tmpdir, "skopeo", "--policy", policy, "copy",
         "containers-storage:[vfs@" + storage + "+" + runroot + "]" + image,
         "oci:" + work_ + "/layout:" + tag_},
        120s);
    if (copied.exit_code != 0) {
      return "skopeo copy: " + copied.err;
    }
    // The runs need the layout alone.
    fs::remove_all(storage, ec);
    return "";
  }

  std::string work_;
  std::string tag_;
  std::string error_;
};

// ORVA_STOP_TIMEOUT from the image's environment as orva reads it; zero
// when it is missing or invalid.
milliseconds stop_timeout(const nlohmann::json &env) {
  const std::string name = "ORVA_STOP_TIMEOUT=";
  for (const auto &entry : env) {
    const std::string assignment = entry.get<std::string>();
    timespec t{};
    if (assignment.rfind(name, 0) == 0 &&
        orva_parse_stop_timeout(assignment.c_str() + name.size(), &t) == 0) {
      return std::chrono::seconds(t.tv_sec);
    }
  }
  return 0ms;
}

// Subshells that start a short sleep and exit: as a `runc exec` in the
// container, they leave the sleeps to its process 1.
constexpr const char *kLeaveOrphans =
    "for i in 1 2 3; do (sleep 0.3 </dev/null >/dev/null 2>&1 &); done";

class ExampleImage : public ::testing::TestWithParam<Example> {};

TEST_P(ExampleImage, BuiltAndRunAsAUserWould) {
  ORVA_REQUIRE_RUNC();
  ORVA_REQUIRE_IMAGE_TOOLS();
  const Example &e = GetParam();
  const Image image(e);
  ASSERT_EQ(image.error(), "");
  const auto unpack = [&image](const std::string &dir) {
    return image.unpack(dir);
  };

  Container as_built(unpack);
  ASSERT_EQ(as_built.error(), "");
  const nlohmann::json &process = as_built.config()["process"];
  const auto args = process["args"].get<std::vector<std::string>>();
  ASSERT_GE(args.size(), e.entrypoint.size());
  EXPECT_EQ(
      std::vector<std::string>(
          args.begin(), args.begin() + static_cast<long>(e.entrypoint.size())),
      e.entrypoint);
  const milliseconds timeout = stop_timeout(process["env"]);
  ASSERT_GT(timeout, 0ms) << "no valid ORVA_STOP_TIMEOUT in the image: "
                          << process["env"].dump();

  {
    SCOPED_TRACE("a program that ends by itself");
    Container box(unpack);
    ASSERT_EQ(box.error(), "");
    box.args(joined(e.entrypoint, e.exits));
    const Result r = box.run();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, e.code) << r.err;
  }

  {
    SCOPED_TRACE("the image's own command, stopped with runc kill TERM");
    if (e.lend_busybox) {
      as_built.config()["mounts"].push_back(
          {{"destination", "/bin/busybox"},
           {"type", "bind"},
           {"source", orva_test::busybox_path()},
           {"options", nlohmann::json::array({"bind", "ro"})}});
    }
    Process &running = as_built.start();
    ASSERT_NE(running.wait_for_line(e.running, 15s), "") << running.out();
    const Result left =
        as_built.exec({"/bin/busybox", "sh", "-c", kLeaveOrphans});
    ASSERT_EQ(left.exit_code, 0) << left.err;
    ProcessCount count;
    ASSERT_TRUE(orva_test::orphans_gone(as_built, "sleep 0.3", count));
    EXPECT_EQ(count.zombies, 0);

    const Result kill = as_built.kill("TERM");
    ASSERT_EQ(kill.exit_code, 0) << kill.err;
    const Result r = running.wait(20s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(has_line(r.out, e.stopping)) << r.out;
  }

  {
    SCOPED_TRACE("a program that does not stop on SIGTERM");
    Container box(unpack);
    ASSERT_EQ(box.error(), "");
    box.args(joined(e.entrypoint, e.holds_on));
    Process &running = box.start();
    ASSERT_NE(running.wait_for_line(e.running, 15s), "") << running.out();
    const auto sent = std::chrono::steady_clock::now();
    const Result kill = box.kill("TERM");
    ASSERT_EQ(kill.exit_code, 0) << kill.err;
    const Result r = running.wait(timeout + 20s);
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 137) << r.err;
    // The image's timeout, not the 30 s default nor the program's own end.
    EXPECT_GE(took, timeout - 200ms);
    EXPECT_LE(took, timeout + 5s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ExampleImage,
    ::testing::Values(
        Example{"launcher",
                "Containerfile.launcher",
                {{ORVA_STATIC_INIT_PATH, "orva-init-static"},
                 {orva_test::busybox_path(), "busybox"}},
                {"/orva-init", "--"},
                {"/bin/busybox", "sh", "-c", "exit 3"},
                3,
                "running",
                "stopping on TERM",
                {"/bin/busybox", "sh", "-c",
                 "trap '' TERM; echo running; while :; do sleep 1; done"},
                false},
        Example{"linked",
                "Containerfile.linked",
                {{ORVA_EXAMPLE_WORKER_PATH, "worker"}},
                {"/worker"},
                {"soon"}, // not a number of seconds: a usage error
                64,
                "worker: running",
                "worker: stopping on signal 15",
                {"60", "30"}, // takes 30 s to wind down
                true}),
    [](const ::testing::TestParamInfo<Example> &param) {
      return std::string(param.param.name);
    });

} // namespace
