// SPDX-License-Identifier: MIT
// orva-init: supervise a program that cannot call orva_run itself. main
// reads the options into the settings, then hands the library a submain
// that execs PROGRAM, or pauses; the option reader and --help follow.
#include "launch.h"
#include "line.h"
#include "settings.h"

#include <elf.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

// The options' tables are plain arrays: nothing here may need the C++
// library, which the static launcher does not have.
// The linker defines it; glibc's <link.h> declares it too, musl's not.
// NOLINTNEXTLINE(*-avoid-c-arrays,*-redundant-declaration,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern ElfW(Dyn) _DYNAMIC[];

// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-constant-array-index,*-pro-bounds-array-to-pointer-decay)
namespace {

using orva_internal::bit;
using orva_internal::Kind;
using orva_internal::kSettingCount;
using orva_internal::kSettings;
using orva_internal::Setting;

constexpr int kExitUsage = 64;       // the library's code for a missing main
constexpr int kExitNotFound = 127;   // as shells report a command not found
constexpr int kExitCannotExec = 126; // ... and one found but not runnable

// What Options::next gives for the options that have no letter of their
// own: above every character, and a setting's row above the launcher's own.
constexpr int kVersionOption = 0x100;
constexpr int kPauseOption = 0x101;
constexpr int kFirstRowOption = 0x200;

constexpr const char *kUsage =
    "Usage: orva-init [OPTION...] [--] PROGRAM [ARG...]\n"
    "       orva-init [OPTION...] --pause\n"
    "Run PROGRAM with its arguments. As process 1 (a container's entrypoint)\n"
    "PROGRAM runs in a process group of its own under a supervisor that\n"
    "forwards every signal to the group, reaps every exited child, sends\n"
    "SIGKILL once the stop timeout has passed after the first SIGTERM,\n"
    "SIGINT, SIGHUP or SIGQUIT, and exits with PROGRAM's exit code (128+n\n"
    "when it was killed by signal n). Elsewhere PROGRAM simply replaces\n"
    "orva-init, unless --subreaper asks for the same supervision there.\n"
    "\n"
    "Options end at PROGRAM or at --. Each setting is an environment\n"
    "variable too, which process 1 reads once; the option wins over it.\n";

constexpr const char *kOwnOptions =
    "      --pause                       no PROGRAM: only reap, until the\n"
    "      first stop signal, then exit with 0 (a pod's pause process)\n"
    "  -h, --help                        print this help and exit\n"
    "      --version                     print the version and exit\n"
    "\n"
    "Exit status: PROGRAM's; 127 if PROGRAM was not found, 126 if it could\n"
    "not be run, 111 if the supervisor failed, 64 on a usage error.\n";

constexpr size_t kHelpColumn = 35;

// What --help and --version write to stdout, in plain writes: the launcher
// needs no stdio, whose machinery would weigh on the static launcher. The
// first failure is kept for the exit status.
class Output {
public:
  Output &put(const char *part) { return put(part, strlen(part)); }
  Output &put(const char *part, size_t length);
  // 0, or 1 with a line on stderr when stdout did not take it all.
  [[nodiscard]] int finish() const;

private:
  int error_ = 0;
};

// A line on stderr that begins with the launcher's name.
orva_internal::Line say() { return orva_internal::Line("orva-init: "); }

constexpr int kRefused = -1;
constexpr int kGoOn = -2;

// The command line's options, read as getopt reads them in POSIX mode:
// they end at the first word that is none, or after "--", so that
// PROGRAM's own options stay PROGRAM's. Letters may be grouped and take
// their value from the rest of the word or from the next one; a long
// option's value follows '=' or comes as the next word.
class Options {
public:
  Options(int argc, char **argv) : argc_(argc), argv_(argv) {}

  // 0 once the options have ended, 'h' for help, kVersionOption,
  // kPauseOption, or kFirstRowOption plus a setting's row with its text
  // in value(); a usage error has been reported when it gives -1.
  [[nodiscard]] int next();
  [[nodiscard]] const char *value() const { return value_; }
  // The first word after the options.
  [[nodiscard]] int index() const { return index_; }

private:
  [[nodiscard]] int long_option(const char *word);
  [[nodiscard]] int letter_option();
  [[nodiscard]] int with_value(unsigned row, const char *attached,
                               const char *named);

  int argc_;
  char **argv_;
  int index_ = 1;
  const char *letters_ = nullptr; // the rest of a group of letters
  const char *value_ = nullptr;
};

[[nodiscard]] int read_options(int argc, char **argv,
                               orva_internal::Settings &settings, bool &pause,
                               int &first);
void seal_relro();
int exec_program(int argc, char **argv);
[[nodiscard]] int exec_on_path(const char *path, char **argv);
[[nodiscard]] int exec_file(char *file, char **argv);
constexpr const char *kDefaultPath = "/usr/local/bin:/bin:/usr/bin";
// Usage errors, one line each, in frames of their own: a line takes 2 KiB
// of stack, which a start without errors never touches.
[[gnu::noinline]] void complain(const char *before, const char *word,
                                const char *after);
[[gnu::noinline]] void complain_value(const char *option, const char *value);
[[nodiscard]] int print_help();
[[nodiscard]] int print_version();
[[nodiscard]] size_t print_argument(Output &out, const Setting &setting);
[[nodiscard]] int refuse(const char *before, const char *word,
                         const char *after);

} // namespace

int main(int argc, char **argv) {
  seal_relro();
  orva_internal::Launch launch;
  orva_internal::default_settings(launch.settings);
  launch.close_descriptors = true;
  bool pause = false;
  int first = 0;
  if (const int done = read_options(argc, argv, launch.settings, pause, first);
      done != kGoOn) {
    return done;
  }
  if (pause) {
    if (first < argc) {
      complain("--pause takes no PROGRAM, but got '", argv[first], "'");
      return kExitUsage;
    }
    return orva_internal::pause(launch);
  }
  if (first >= argc) {
    complain("missing PROGRAM", "", "");
    return kExitUsage;
  }
  return orva_internal::run(exec_program, argc - first, argv + first, launch);
}

namespace {

// Reads the options into `settings`, and where PROGRAM begins into
// `first`; kGoOn, or the exit code when there is nothing more to do.
int read_options(int argc, char **argv, orva_internal::Settings &settings,
                 bool &pause, int &first) {
  Options options(argc, argv);
  for (int found = options.next(); found != 0; found = options.next()) {
    if (found == kRefused) {
      return kExitUsage;
    }
    if (found == 'h') {
      return print_help();
    }
    if (found == kVersionOption) {
      return print_version();
    }
    if (found == kPauseOption) {
      pause = true;
      continue;
    }
    const auto row = static_cast<unsigned>(found - kFirstRowOption);
    const Setting &setting = kSettings[row];
    if (!orva_internal::parse_setting(setting, options.value(), settings)) {
      complain_value(setting.option, options.value());
      return kExitUsage;
    }
    settings.given |= bit(row);
    settings.from_command_line |= bit(row);
  }
  first = options.index();
  return kGoOn;
}

// The dynamic loader makes the relocated read-only data read-only again
// (RELRO: the table of settings, the pointers the code calls through); the
// start-up code of a static PIE built with musl relocates it and leaves it
// writable. So the launcher seals it itself, the same pages the loader
// would; where the loader has done so already, this changes nothing.
// Addresses come as numbers from the kernel and go back to it as such.
// NOLINTBEGIN(*-pro-type-reinterpret-cast,performance-no-int-to-ptr)
void seal_relro() {
  const auto *headers =
      reinterpret_cast<const ElfW(Phdr) *>(getauxval(AT_PHDR));
  const auto count = static_cast<size_t>(getauxval(AT_PHNUM));
  const auto page = static_cast<uintptr_t>(getauxval(AT_PAGESZ));
  // Where the program was loaded: as its headers say where they are, or,
  // where it has no such header (a static PIE), its dynamic section.
  uintptr_t base = 0;
  for (size_t i = 0; headers != nullptr && i < count; ++i) {
    if (headers[i].p_type == PT_PHDR) {
      base = reinterpret_cast<uintptr_t>(headers) - headers[i].p_vaddr;
      break;
    }
    if (headers[i].p_type == PT_DYNAMIC) {
      base = reinterpret_cast<uintptr_t>(&_DYNAMIC[0]) - headers[i].p_vaddr;
    }
  }
  for (size_t i = 0; headers != nullptr && page != 0 && i < count; ++i) {
    if (headers[i].p_type != PT_GNU_RELRO) {
      continue;
    }
    const uintptr_t first = base + headers[i].p_vaddr;
    const uintptr_t start = first & ~(page - 1);
    const uintptr_t end = (first + headers[i].p_memsz) & ~(page - 1);
    if (end > start && mprotect(reinterpret_cast<void *>(start), end - start,
                                PROT_READ) != 0) {
      orva_internal::report_error("mprotect(RELRO)");
    }
  }
}
// NOLINTEND(*-pro-type-reinterpret-cast,performance-no-int-to-ptr)

// PROGRAM found as a shell finds it: a name with a '/' as it stands, any
// other in each directory of PATH in turn, an empty one being the current
// directory. A file the kernel cannot run (a script without "#!") runs
// through /bin/sh, as shells and POSIX's execvp do, whichever C library
// this was built with; musl's execvp would refuse it.
int exec_program(int argc, char **argv) {
  (void)argc;
  char *name = argv[0];
  int error = ENOENT;
  if (strchr(name, '/') != nullptr) {
    error = exec_file(name, argv);
  } else if (*name != '\0') {
    const char *path = getenv("PATH");
    error = exec_on_path(path != nullptr ? path : kDefaultPath, argv);
  }
  say().whole(name).text(": ").text(strerror(error)).emit();
  return error == ENOENT ? kExitNotFound : kExitCannotExec;
}

// Tries each directory of `path`; gives the error to report once none ran.
// A file found but not runnable (EACCES) is reported over one not found.
int exec_on_path(const char *path, char **argv) {
  const size_t name_length = strlen(argv[0]);
  bool denied = false;
  for (const char *dir = path;;) {
    const char *end = strchr(dir, ':');
    const size_t dir_length =
        end != nullptr ? static_cast<size_t>(end - dir) : strlen(dir);
    char file[PATH_MAX];
    if (dir_length + 1 + name_length < sizeof file) {
      size_t at = 0;
      for (; at < dir_length; ++at) {
        file[at] = dir[at];
      }
      if (at == 0) {
        file[at++] = '.';
      }
      file[at++] = '/';
      memcpy(&file[at], argv[0], name_length + 1);
      const int error = exec_file(&file[0], argv);
      if (error == EACCES) {
        denied = true;
      } else if (error != ENOENT && error != ENOTDIR) {
        return error;
      }
    }
    if (end == nullptr) {
      return denied ? EACCES : ENOENT;
    }
    dir = end + 1;
  }
}

// Runs `file`, or /bin/sh with it when it has no format the kernel knows;
// gives the error when neither could run. The word before argv is main's
// own (PROGRAM never comes first on its command line), so it can hold the
// shell's name without copying the arguments.
int exec_file(char *file, char **argv) {
  (void)execv(file, argv);
  if (errno != ENOEXEC) {
    return errno;
  }
  char shell[] = "/bin/sh";
  char *const name = argv[0];
  argv[-1] = &shell[0];
  argv[0] = file;
  (void)execv(&shell[0], argv - 1);
  argv[0] = name;
  return ENOEXEC;
}

// Prints what an option takes, as --help shows it ("=DURATION",
// "=group|all"; nothing for a switch), and gives its width.
size_t print_argument(Output &out, const Setting &setting) {
  const char *word = "FROM=TO,...";
  switch (setting.kind) {
  case Kind::Switch:
    return 0;
  case Kind::WordPair:
    out.put("=").put(setting.default_text).put("|").put(setting.on_word);
    return 2 + strlen(setting.default_text) + strlen(setting.on_word);
  case Kind::Duration:
    word = "DURATION";
    break;
  case Kind::SignalList:
    word = "LIST";
    break;
  case Kind::Signal:
    word = "SIGNAL";
    break;
  case Kind::ExitCodes:
  case Kind::SignalRewrites:
    break;
  }
  out.put("=").put(word);
  return 1 + strlen(word);
}

// Each setting's option, its variable, and its help indented below.
[[nodiscard]] int print_help() {
  constexpr const char *kBlanks = "                                   ";
  static_assert(kHelpColumn == sizeof "                                   " - 1,
                "a blank for every column");
  Output out;
  out.put(kUsage);
  for (const Setting &setting : kSettings) {
    // "  -v, --" and "      --" are as wide, so the columns line up.
    constexpr size_t kBeforeOption = sizeof "      --" - 1;
    const char letter[] = {setting.letter, '\0'};
    if (setting.letter != 0) {
      out.put("  -").put(letter).put(", --").put(setting.option);
    } else {
      out.put("      --").put(setting.option);
    }
    const size_t width =
        kBeforeOption + strlen(setting.option) + print_argument(out, setting);
    out.put(kBlanks, width < kHelpColumn ? kHelpColumn - width : 0)
        .put(" ")
        .put(setting.variable)
        .put(setting.kind == Kind::Switch ? "=1" : "")
        .put("\n      ");
    for (const char *line = setting.help;;) {
      const char *end = strchr(line, '\n');
      if (end == nullptr) {
        out.put(line).put("\n");
        break;
      }
      out.put(line, static_cast<size_t>(end - line)).put("\n      ");
      line = end + 1;
    }
  }
  return out.put(kOwnOptions).finish();
}

[[nodiscard]] int print_version() {
  // "NAME version X - git.COMMIT": the form container engines parse to
  // show an init's version and commit.
  return Output()
      .put("orva-init version " ORVA_VERSION " - git." ORVA_COMMIT "\n")
      .finish();
}

// A usage error's one line, with the command line's own word escaped.
void complain(const char *before, const char *word, const char *after) {
  say()
      .text(before)
      .whole(word)
      .text(after)
      .text(" (try 'orva-init --help')")
      .emit();
}

void complain_value(const char *option, const char *value) {
  say()
      .text("invalid --")
      .text(option)
      .text("=")
      .whole(value)
      .text(" (try 'orva-init --help')")
      .emit();
}

[[nodiscard]] int refuse(const char *before, const char *word,
                         const char *after) {
  complain(before, word, after);
  return kRefused;
}

int Options::next() {
  if (letters_ != nullptr && *letters_ != '\0') {
    return letter_option();
  }
  letters_ = nullptr;
  if (index_ >= argc_) {
    return 0;
  }
  const char *word = argv_[index_];
  if (word[0] != '-' || word[1] == '\0') {
    return 0;
  }
  ++index_;
  if (word[1] != '-') {
    letters_ = word + 1;
    return letter_option();
  }
  if (word[2] == '\0') {
    return 0;
  }
  return long_option(word);
}

int Options::long_option(const char *word) {
  const char *name = word + 2;
  const char *equals = strchr(name, '=');
  const size_t length =
      equals != nullptr ? static_cast<size_t>(equals - name) : strlen(name);
  const auto is = [name, length](const char *option) {
    return strlen(option) == length && strncmp(name, option, length) == 0;
  };
  int own = -1;
  if (is("help")) {
    own = 'h';
  } else if (is("version")) {
    own = kVersionOption;
  } else if (is("pause")) {
    own = kPauseOption;
  }
  if (own != -1) {
    return equals != nullptr ? refuse("option '", word, "' takes no value")
                             : own;
  }
  for (unsigned row = 0; row < kSettingCount; ++row) {
    if (is(kSettings[row].option)) {
      return with_value(row, equals != nullptr ? equals + 1 : nullptr, word);
    }
  }
  return refuse("unknown option '", word, "'");
}

int Options::letter_option() {
  const char letter = *letters_++;
  if (letter == 'h') {
    return 'h';
  }
  for (unsigned row = 0; row < kSettingCount; ++row) {
    if (kSettings[row].letter == letter) {
      const char *rest =
          kSettings[row].kind != Kind::Switch && *letters_ != '\0' ? letters_
                                                                   : nullptr;
      if (rest != nullptr) {
        letters_ = nullptr;
      }
      const char named[3] = {'-', letter, '\0'};
      return with_value(row, rest, named);
    }
  }
  const char named[3] = {'-', letter, '\0'};
  return refuse("unknown option '", named, "'");
}

int Options::with_value(unsigned row, const char *attached, const char *named) {
  if (kSettings[row].kind == Kind::Switch) {
    if (attached != nullptr) {
      return refuse("option '", named, "' takes no value");
    }
    value_ = "1";
  } else if (attached != nullptr) {
    value_ = attached;
  } else if (index_ < argc_) {
    value_ = argv_[index_++];
  } else {
    return refuse("option '", named, "' needs a value");
  }
  return kFirstRowOption + static_cast<int>(row);
}

Output &Output::put(const char *part, size_t length) {
  if (error_ == 0) {
    error_ = orva_internal::write_all(STDOUT_FILENO, part, length);
  }
  return *this;
}

int Output::finish() const {
  if (error_ == 0) {
    return 0;
  }
  say().text("stdout: ").text(strerror(error_)).emit();
  return 1;
}

} // namespace

// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-constant-array-index,*-pro-bounds-array-to-pointer-decay)
