// tarovue-make-completions DIR: writes the bash completions of tarovue-scan and tarovue-sim
// to DIR/tarovue-scan and DIR/tarovue-sim, from the programs' own option tables, so that a
// new option is offered as soon as it is parsed. Run by the build (data/CMakeLists.txt);
// never installed. Exit status 1, with a message, when a file cannot be written.
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scan/option_table.h"
#include "sim/sim_options.h"

namespace {

// What follows an option on the command line, as the completion offers it.
enum class Follows {
  kNothing,     // a switch: the next word is another option
  kOwnValue,    // a value only the user knows (a number, an address): nothing is offered
  kWords,       // one of a few words
  kFile,        // a file name
  kInterfaces,  // interface names, as the host has them when completing
};

struct CompletedOption {
  CompletedOption(std::string dashed, Follows what = Follows::kNothing)
      : name(std::move(dashed)), follows(what) {}
  std::string name;  // with its dashes
  Follows follows;
  std::string words;  // kWords: space-separated
};

// `list` with `item` added after `separator`.
void Append(std::string& list, std::string_view item, std::string_view separator) {
  if (!list.empty()) list += separator;
  list += item;
}

std::vector<CompletedOption> ScanOptionsCompleted() {
  // -h is left out: the help names --help.
  std::vector<CompletedOption> options = {CompletedOption("--help")};
  for (const char* flag : kFlagOptions) options.emplace_back(std::string("--") + flag);
  for (const NumberOption& number : kNumberOptions) {
    options.emplace_back(std::string("--") + number.name, Follows::kOwnValue);
  }
  for (const TextOption& text : kTextOptions) {
    CompletedOption option(std::string("--") + text.name, Follows::kOwnValue);
    if (text.kind == TextKind::kFile) option.follows = Follows::kFile;
    if (text.kind == TextKind::kInterfaces) option.follows = Follows::kInterfaces;
    if (text.kind == TextKind::kFormat) {
      option.follows = Follows::kWords;
      for (const FormatName& format : kFormatNames) Append(option.words, format.name, " ");
    }
    options.push_back(option);
  }
  return options;
}

std::vector<CompletedOption> SimOptionsCompleted() {
  std::vector<CompletedOption> options;
  for (const sim::SimOption& option : sim::OptionTable()) {
    if (std::string(option.name).rfind("--", 0) != 0) continue;  // -h: the help names --help
    options.emplace_back(
        option.name, option.value == sim::SimValue::kNone ? Follows::kNothing : Follows::kOwnValue);
  }
  return options;
}

// The names of `options` that `follows` applies to, as a case pattern: "--save|--state".
std::string Pattern(const std::vector<CompletedOption>& options, Follows follows,
                    const std::string& words = {}) {
  std::string pattern;
  for (const CompletedOption& option : options) {
    if (option.follows != follows || option.words != words) continue;
    Append(pattern, option.name, "|");
  }
  return pattern;
}

std::string Script(const std::string& program, const std::vector<CompletedOption>& options) {
  std::string function = "_" + program;
  for (char& c : function) {
    if (c == '-') c = '_';
  }
  std::string all;
  for (const CompletedOption& option : options) Append(all, option.name, " ");

  std::string cases;
  std::vector<std::string> word_lists;
  for (const CompletedOption& option : options) {
    if (option.follows != Follows::kWords) continue;
    bool seen = false;
    for (const std::string& words : word_lists) seen = seen || words == option.words;
    if (seen) continue;
    word_lists.push_back(option.words);
    cases += "    " + Pattern(options, Follows::kWords, option.words) +
             ")\n      mapfile -t COMPREPLY < <(compgen -W '" + option.words +
             "' -- \"$cur\")\n      ;;\n";
  }
  if (const std::string files = Pattern(options, Follows::kFile); !files.empty()) {
    cases += "    " + files +
             ")\n      compopt -o filenames 2>/dev/null\n"
             "      mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n      ;;\n";
  }
  if (const std::string names = Pattern(options, Follows::kInterfaces); !names.empty()) {
    cases += "    " + names +
             ")\n      mapfile -t COMPREPLY < <(compgen -W \"$(ls /sys/class/net 2>/dev/null)\" "
             "-- \"$cur\")\n      ;;\n";
  }
  if (const std::string own = Pattern(options, Follows::kOwnValue); !own.empty()) {
    cases += "    " + own + ")\n      ;;\n";
  }

  return "# bash completion for " + program + ", made at build time from its option table.\n" +
         function +
         "() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  # --name=value comes as three words: --name, = and the value.\n"
         "  if [[ $cur == = ]]; then\n"
         "    cur=\n"
         "  elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
         "    prev=${COMP_WORDS[COMP_CWORD-2]}\n"
         "  fi\n"
         "  COMPREPLY=()\n"
         "  case $prev in\n" +
         cases +
         "    *)\n"
         "      mapfile -t COMPREPLY < <(compgen -W '" +
         all +
         "' -- \"$cur\")\n"
         "      ;;\n"
         "  esac\n"
         "}\n"
         "complete -F " +
         function + " " + program + "\n";
}

bool Write(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (file) return true;
  std::fprintf(stderr, "tarovue-make-completions: cannot write %s\n", path.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: tarovue-make-completions DIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  const bool written =
      Write(dir + "/tarovue-scan", Script("tarovue-scan", ScanOptionsCompleted())) &&
      Write(dir + "/tarovue-sim", Script("tarovue-sim", SimOptionsCompleted()));
  return written ? 0 : 1;
}
