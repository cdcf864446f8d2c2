#include "mon/mon_options.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace kelv {
namespace {

constexpr std::string_view BIND_OPTION = "--bind";
constexpr std::string_view MAX_CLIENTS_OPTION = "--max-clients";
constexpr std::string_view END_OF_OPTIONS = "--";

// Reads the words one by one; an option's value is the next word or follows "=".
class ArgumentReader {
 public:
  ArgumentReader(int argc, const char* const* argv) : count(argc), words(argv) {}

  bool Done() const { return next >= count; }
  std::string_view Take() { return words[next++]; }
  // The value of the option just taken, or nothing when it has none.
  std::optional<std::string_view> Value(std::string_view word, std::string_view name) {
    if (word.size() > name.size()) return word.substr(name.size() + 1);
    if (Done()) return std::nullopt;
    return Take();
  }

 private:
  int count;
  const char* const* words;
  int next = 1;
};

// "--bind" or "--bind=...", for the named option.
bool isOption(std::string_view word, std::string_view name) {
  return word == name || (word.substr(0, name.size()) == name && word.size() > name.size() &&
                          word[name.size()] == '=');
}

std::optional<int> clientCount(std::string_view text) {
  int value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value < 1) {
    return std::nullopt;
  }
  return value;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Applies one option word; an error line when it is wrong.
std::string applyOption(ArgumentReader& reader, std::string_view word, MonOptions& options) {
  const std::string_view name = isOption(word, BIND_OPTION)          ? BIND_OPTION
                                : isOption(word, MAX_CLIENTS_OPTION) ? MAX_CLIENTS_OPTION
                                                                     : std::string_view();
  if (name.empty()) return "kelvmon: unknown option " + quoted(word) + "\n";
  const std::optional<std::string_view> value = reader.Value(word, name);
  if (!value) return "kelvmon: option " + std::string(name) + " needs a value\n";
  if (name == BIND_OPTION) {
    ListenAddress unused;
    if (!parseListenAddress(std::string(*value), 0, unused)) {
      return "kelvmon: " + quoted(*value) + " is not an IPv4 or IPv6 address (--bind)\n";
    }
    options.bindAddress = std::string(*value);
    return {};
  }
  const std::optional<int> count = clientCount(*value);
  if (!count)
    return "kelvmon: --max-clients needs a whole number of 1 or more, not " + quoted(*value) + "\n";
  options.maxClients = *count;
  return {};
}

}  // namespace

std::optional<MonOptions> parseMonOptions(int argc, const char* const* argv, std::string& error) {
  MonOptions options;
  std::vector<std::string_view> positional;
  ArgumentReader reader(argc, argv);
  bool optionsEnded = false;
  while (!reader.Done()) {
    const std::string_view word = reader.Take();
    if (optionsEnded || word.substr(0, 2) != END_OF_OPTIONS) {
      positional.push_back(word);
    } else if (word == END_OF_OPTIONS) {
      optionsEnded = true;
    } else if (error = applyOption(reader, word, options); !error.empty()) {
      return std::nullopt;
    }
  }
  if (positional.size() != 1) {
    error = "Usage: " + std::string(argc > 0 ? argv[0] : "kelvmon") + " <port>\n";
    return std::nullopt;
  }
  options.port = monPortFromText(std::string(positional[0]).c_str());
  return options;
}

}  // namespace kelv
