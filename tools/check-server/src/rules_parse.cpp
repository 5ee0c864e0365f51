// Reading a rules file: one rule after the other, each property checked as
// it is read, mistakes reported as FILE:LINE.
#include "rules.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace vornex {
namespace check_server {

namespace {

// Challenge header names that the protocol gives a meaning of their own.
const std::map<std::string, std::string> reserved_names = {
    {protocol::answer::mitigation, "verdict"},
    {protocol::answer::reason, "reason"},
    {protocol::answer::location, "location"},
};

const char blanks[] = " \t";

std::string trim(const std::string &text) {
  const size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos)
    return std::string();
  const size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

// The first word of `text` and the trimmed rest.
std::pair<std::string, std::string> split_word(const std::string &text) {
  const size_t end = text.find_first_of(blanks);
  if (end == std::string::npos)
    return {text, std::string()};
  return {text.substr(0, end), trim(text.substr(end))};
}

// A whole number from `low` to `high`, or nothing.
std::optional<unsigned long> number(const std::string &text, unsigned long low,
                                    unsigned long high) {
  if (text.empty() || text.size() > 10)
    return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value < low || value > high)
    return std::nullopt;
  return value;
}

bool is_rule_name(const std::string &text) {
  if (text.empty())
    return false;
  for (char c : text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
          c == '.'))
      return false;
  return true;
}

const char *const matcher_keywords[] = {"method", "target", "header", "fact",
                                        "rate"};
const char *const answer_keywords[] = {"verdict",   "status",   "set",   "page",
                                       "page-file", "location", "reason"};

bool listed(const std::string &key, const char *const *begin,
            const char *const *end) {
  return std::find_if(begin, end,
                      [&](const char *word) { return key == word; }) != end;
}

bool is_matcher(const std::string &key) {
  return listed(key, std::begin(matcher_keywords), std::end(matcher_keywords));
}

bool is_property(const std::string &key) {
  return is_matcher(key) ||
         listed(key, std::begin(answer_keywords), std::end(answer_keywords));
}

class parser {
public:
  parser(const std::string &file_name, const std::string &base_dir)
      : file_name(file_name), base_dir(base_dir) {}

  rule_set parse(const std::string &text) {
    std::istringstream lines(text);
    std::string raw;
    int number = 0;
    while (std::getline(lines, raw)) {
      ++number;
      if (!raw.empty() && raw.back() == '\r')
        raw.pop_back();
      const std::string line = trim(raw);
      if (line.empty() || line[0] == '#')
        continue;
      auto [key, argument] = split_word(line);
      if (key == "rule" || key == "default")
        start(number, key == "default", argument);
      else
        property(number, key, argument);
    }
    finish();
    if (rules.empty() || !rules.back().is_default)
      fail(std::max(number, 1), "no default rule at the end");
    return std::move(rules);
  }

private:
  // What the current rule has been given so far.
  struct progress {
    bool verdict = false;
    int status_line = 0;
    bool method = false;
    bool page = false;
    bool page_file = false;
  };

  [[noreturn]] void fail(int line, const std::string &what) const {
    throw rules_error(file_name + ":" + std::to_string(line) + ": " + what);
  }

  void start(int line, bool is_default, const std::string &name) {
    finish();
    if (!rules.empty() && rules.back().is_default)
      fail(line, is_default ? "a second default rule"
                            : "a rule after the default rule");
    if (!name.empty()) {
      if (!is_rule_name(name))
        fail(line, "bad rule name '" + name +
                       "' (letters, digits, '-', '_' and '.' only)");
      auto known = names.find(name);
      if (known != names.end())
        fail(line, "rule name '" + name + "' is already used on line " +
                       std::to_string(known->second));
      names.emplace(name, line);
    }
    rules.emplace_back();
    current = &rules.back();
    current->line = line;
    current->name = name;
    current->is_default = is_default;
    given = progress();
  }

  void finish() {
    if (!current)
      return;
    if (!given.verdict) {
      if (!current->rate)
        fail(current->line, "rule has no verdict");
      current->kind = verdict_kind::limit;
    }
    if (given.status_line != 0 && (current->kind == verdict_kind::pass ||
                                   current->kind == verdict_kind::block ||
                                   current->kind == verdict_kind::status))
      fail(given.status_line,
           "'status' goes only with a verdict keyword (pass, block and a bare "
           "status are carried by the status itself)");
    if (given.status_line == 0)
      current->status = default_status(*current);
    current = nullptr;
  }

  static int default_status(const rule &r) {
    if (r.kind == verdict_kind::block)
      return 403;
    if (r.kind == verdict_kind::status)
      return r.status;
    return 200;
  }

  void property(int line, const std::string &key, const std::string &argument) {
    if (!is_property(key))
      fail(line, "unknown keyword '" + key + "'");
    if (!current)
      fail(line,
           "'" + key + "' outside a rule (start one with 'rule' or 'default')");
    if (current->is_default && is_matcher(key))
      fail(line, "the default rule takes no matchers ('" + key + "')");

    if (key == "method")
      method(line, argument);
    else if (key == "target")
      current->targets.push_back(compile(line, key, argument));
    else if (key == "header")
      current->headers.push_back(field(line, key, argument));
    else if (key == "fact")
      current->facts.push_back(field(line, key, argument));
    else if (key == "rate")
      rate(line, argument);
    else if (key == "verdict")
      verdict(line, argument);
    else if (key == "status")
      status(line, argument);
    else if (key == "set")
      set(line, argument);
    else if (key == "page")
      page(line, argument);
    else if (key == "page-file")
      page_file(line, argument);
    else if (key == "location")
      once(line, key, current->location, argument);
    else
      once(line, key, current->reason, argument);
  }

  void method(int line, const std::string &argument) {
    if (given.method)
      fail(line, "'method' given twice in one rule");
    given.method = true;
    std::istringstream words(argument);
    std::string word;
    while (words >> word) {
      if (!is_token(word))
        fail(line, "bad method '" + word + "'");
      current->methods.push_back(word);
    }
    if (current->methods.empty())
      fail(line, "'method' needs at least one method");
  }

  pattern compile(int line, const std::string &key, const std::string &source) {
    if (source.empty())
      fail(line, "'" + key + "' needs a regular expression");
    try {
      return pattern(source);
    } catch (const std::invalid_argument &e) {
      fail(line, "bad regular expression '" + source + "': " + e.what());
    }
  }

  field_matcher field(int line, const std::string &key,
                      const std::string &argument) {
    auto [name, source] = split_word(argument);
    if (name.empty())
      fail(line, "'" + key + "' needs a header name");
    if (!is_token(name))
      fail(line, "bad header name '" + name + "'");
    field_matcher matcher{name, std::nullopt};
    if (!source.empty())
      matcher.value = compile(line, key, source);
    return matcher;
  }

  void rate(int line, const std::string &argument) {
    if (current->rate)
      fail(line, "'rate' given twice in one rule");
    std::istringstream words(argument);
    std::string count, window, extra;
    words >> count >> window >> extra;
    if (window.empty() || !extra.empty())
      fail(line, "'rate' needs a count and a window in seconds");
    auto limit = number(count, 1, 1000000000);
    if (!limit)
      fail(line, "rate count '" + count +
                     "' is not a whole number from 1 to 1000000000");
    auto seconds = number(window, 1, 86400);
    if (!seconds)
      fail(line, "rate window '" + window +
                     "' is not a whole number of seconds from 1 to 86400");
    current->rate = rate_spec{*limit, *seconds};
  }

  void verdict(int line, const std::string &argument) {
    if (given.verdict)
      fail(line, "'verdict' given twice in one rule");
    given.verdict = true;
    for (const auto &entry : protocol::verdicts)
      if (argument == entry.keyword) {
        current->kind = static_cast<verdict_kind>(entry.code);
        return;
      }
    auto code = number(argument, 0, 9999);
    if (!code)
      fail(line,
           "unknown verdict '" + argument + "' (a keyword or an HTTP status)");
    if (*code < 100 || *code > 599)
      fail(line, "status " + argument + " is not from 100 to 599");
    current->kind = verdict_kind::status;
    current->status = static_cast<int>(*code);
  }

  void status(int line, const std::string &argument) {
    if (given.status_line != 0)
      fail(line, "'status' given twice in one rule");
    auto code = number(argument, 100, 599);
    if (!code)
      fail(line, "status '" + argument + "' is not from 100 to 599");
    given.status_line = line;
    current->status = static_cast<int>(*code);
  }

  void set(int line, const std::string &argument) {
    auto [name, value] = split_word(argument);
    if (name.empty())
      fail(line, "'set' needs a header name");
    if (!is_token(name))
      fail(line, "bad header name '" + name + "'");
    auto reserved = reserved_names.find(name);
    if (reserved != reserved_names.end())
      fail(line, "'" + name + "' is given with '" + reserved->second + "'");
    for (const auto &header : current->challenge_headers)
      if (header.first == name)
        fail(line, "challenge header '" + name + "' set twice");
    current->challenge_headers.emplace_back(name, value);
  }

  void page(int line, const std::string &argument) {
    if (given.page_file)
      fail(line, "'page' and 'page-file' in one rule");
    given.page = true;
    current->page += argument;
    current->page += '\n';
  }

  void page_file(int line, const std::string &argument) {
    if (given.page)
      fail(line, "'page' and 'page-file' in one rule");
    if (given.page_file)
      fail(line, "'page-file' given twice in one rule");
    if (argument.empty())
      fail(line, "'page-file' needs a file name");
    given.page_file = true;
    std::filesystem::path path(argument);
    if (path.is_relative() && !base_dir.empty())
      path = std::filesystem::path(base_dir) / path;
    std::ifstream in(path, std::ios::binary);
    if (!in)
      fail(line, "cannot read page file '" + path.string() + "'");
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
      fail(line, "cannot read page file '" + path.string() + "'");
    current->page = content.str();
  }

  void once(int line, const std::string &key, std::optional<std::string> &slot,
            const std::string &argument) {
    if (slot)
      fail(line, "'" + key + "' given twice in one rule");
    slot = argument;
  }

  const std::string file_name;
  const std::string base_dir;
  rule_set rules;
  rule *current = nullptr;
  progress given;
  std::map<std::string, int> names;
};

} // namespace

rule_set parse_rules(const std::string &text, const std::string &file_name,
                     const std::string &base_dir) {
  return parser(file_name, base_dir).parse(text);
}

rule_set load_rules(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw rules_error(path + ": cannot open the rules file");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad())
    throw rules_error(path + ": cannot read the rules file");
  return parse_rules(text.str(), path,
                     std::filesystem::path(path).parent_path().string());
}

} // namespace check_server
} // namespace vornex
