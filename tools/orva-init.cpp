// SPDX-License-Identifier: MIT
// orva-init: supervise a program that cannot call orva_run itself.
#include "internal.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// The options' tables are plain arrays: nothing here may need the C++
// library, which the static launcher does not have.
// NOLINTBEGIN(*-avoid-c-arrays,*-pro-bounds-constant-array-index,*-pro-bounds-array-to-pointer-decay)
namespace {

using orva_internal::bit;
using orva_internal::kSettingCount;
using orva_internal::kSettings;
using orva_internal::Setting;

enum : int {
  kExitUsage = 64,       // the library's code for a missing main
  kExitNotFound = 127,   // as shells report a command not found
  kExitCannotExec = 126, // ... and one found but not runnable
};

// What getopt_long gives for the options that have no letter of their own:
// above every character, and a setting's row above the launcher's own.
enum : int {
  kVersionOption = 0x100,
  kPauseOption,
  kFirstRowOption = 0x200,
};

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
    "      --pause                      (no variable)\n"
    "      only reap what is handed over, until the first stop signal, then\n"
    "      exit with 0: the process that holds a pod's namespaces\n"
    "  -h, --help                       print this help and exit\n"
    "      --version                    print the version and exit\n"
    "\n"
    "Exit status: PROGRAM's; 127 if PROGRAM was not found, 126 if it could\n"
    "not be run, 111 if the supervisor failed, 64 on a usage error.\n";

constexpr int kHelpColumn = 35;

int exec_program(int argc, char **argv) {
  (void)argc;
  execvp(argv[0], argv);
  const int error = errno;
  fprintf(stderr, "orva-init: %s: %s\n", argv[0], strerror(error));
  return error == ENOENT ? kExitNotFound : kExitCannotExec;
}

[[nodiscard]] int flush_stdout() {
  if (ferror(stdout) != 0 || fflush(stdout) != 0) {
    fprintf(stderr, "orva-init: stdout: %s\n", strerror(errno));
    return 1;
  }
  return 0;
}

// Each setting's option, its variable, and its help indented below.
[[nodiscard]] int print_help() {
  (void)fputs(kUsage, stdout);
  for (const Setting &setting : kSettings) {
    int width = 0;
    if (setting.letter != 0) {
      width = printf("  -%c, --%s", setting.letter, setting.option);
    } else {
      width = printf("      --%s", setting.option);
    }
    if (setting.argument != nullptr) {
      width += printf("=%s", setting.argument);
    }
    (void)printf("%*s %s%s\n      ",
                 width < kHelpColumn ? kHelpColumn - width : 0, "",
                 setting.variable, setting.argument == nullptr ? "=1" : "");
    for (const char *c = setting.help; *c != '\0'; ++c) {
      if (*c == '\n') {
        (void)fputs("\n      ", stdout);
      } else {
        (void)putchar(*c);
      }
    }
    (void)putchar('\n');
  }
  (void)fputs(kOwnOptions, stdout);
  return flush_stdout();
}

[[nodiscard]] int print_version() {
  // "NAME version X - git.COMMIT": the form container engines parse to
  // show an init's version and commit.
  (void)fputs("orva-init version " ORVA_VERSION " - git." ORVA_COMMIT "\n",
              stdout);
  return flush_stdout();
}

// One line, the command line's own words escaped, and the usage code.
[[nodiscard]] int usage_error(const char *before, const char *word,
                              const char *after) {
  fprintf(stderr, "orva-init: %s", before);
  orva_internal::write_escaped(word);
  fprintf(stderr, "%s (try 'orva-init --help')\n", after);
  return kExitUsage;
}

// getopt_long gave '?' or ':' for the option just read.
[[nodiscard]] int bad_option(int found, char **argv) {
  // A letter is named by itself; a long option only by the word read,
  // which getopt has already stepped past.
  const bool letter = optopt > 0 && optopt < kVersionOption;
  char named[3] = {'-', static_cast<char>(optopt), '\0'};
  const char *word = letter ? named : argv[optind - 1];
  if (found == ':') {
    return usage_error("option '", word, "' needs a value");
  }
  if (optopt != 0 && !letter) {
    return usage_error("option '", word, "' takes no value");
  }
  return usage_error("unknown option '", word, "'");
}

} // namespace

int main(int argc, char **argv) {
  orva_internal::Launch launch;
  orva_internal::default_settings(launch.settings);
  orva_internal::Settings &settings = launch.settings;

  // POSIX mode ("+"): options end at the first word that is none, so that
  // PROGRAM's own options stay PROGRAM's. ":" tells a missing value apart.
  char letters[3 + (2 * kSettingCount) + 1] = "+:h";
  size_t end = strlen(letters);
  option longs[kSettingCount + 4] = {};
  size_t count = 0;
  for (unsigned row = 0; row < kSettingCount; ++row) {
    const Setting &setting = kSettings[row];
    const int has_arg =
        setting.argument != nullptr ? required_argument : no_argument;
    longs[count++] = {setting.option, has_arg, nullptr,
                      kFirstRowOption + static_cast<int>(row)};
    if (setting.letter != 0) {
      letters[end++] = setting.letter;
      if (setting.argument != nullptr) {
        letters[end++] = ':';
      }
    }
  }
  letters[end] = '\0';
  longs[count++] = {"pause", no_argument, nullptr, kPauseOption};
  longs[count++] = {"help", no_argument, nullptr, 'h'};
  longs[count++] = {"version", no_argument, nullptr, kVersionOption};

  bool pause = false;
  opterr = 0;
  for (;;) {
    const int found = getopt_long(argc, argv, letters, longs, nullptr);
    if (found == -1) {
      break;
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
    if (found == '?' || found == ':') {
      return bad_option(found, argv);
    }
    unsigned row = 0;
    if (found >= kFirstRowOption) {
      row = static_cast<unsigned>(found - kFirstRowOption);
    } else {
      while (kSettings[row].letter != found) {
        ++row;
      }
    }
    const Setting &setting = kSettings[row];
    const char *text = setting.argument != nullptr ? optarg : "1";
    if (!setting.parse(text, settings)) {
      fprintf(stderr, "orva-init: invalid --%s=", setting.option);
      orva_internal::write_escaped(text);
      fprintf(stderr, " (try 'orva-init --help')\n");
      return kExitUsage;
    }
    settings.given |= bit(row);
    settings.from_command_line |= bit(row);
  }

  if (pause) {
    if (optind < argc) {
      return usage_error("--pause takes no PROGRAM, but got '", argv[optind],
                         "'");
    }
    return orva_internal::pause_until_stopped(launch);
  }
  if (optind >= argc) {
    fprintf(stderr, "orva-init: missing PROGRAM (try 'orva-init --help')\n");
    return kExitUsage;
  }
  return orva_internal::run(exec_program, argc - optind, argv + optind, launch);
}
// NOLINTEND(*-avoid-c-arrays,*-pro-bounds-constant-array-index,*-pro-bounds-array-to-pointer-decay)
