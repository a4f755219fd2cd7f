#include "password_mask.h"

#include <string_view>

namespace {

// Stars from position `from` up to the next space or the end.
void star_word(std::string& text, std::size_t from) {
  for (std::size_t i = from; i < text.size() && text[i] != ' '; ++i) text[i] = '*';
}

bool starts_word(const std::string& text, std::size_t pos) {
  return pos == 0 || text[pos - 1] == ' ' || text[pos - 1] == '\t';
}

}  // namespace

void mask_passwords(std::string& command) {
  static constexpr std::string_view pg_assign = "PGPASSWORD=";
  for (std::size_t pos = command.find(pg_assign); pos != std::string::npos;
       pos = command.find(pg_assign, pos + pg_assign.size())) {
    star_word(command, pos + pg_assign.size());
  }

  const std::size_t dump = command.find("mysqldump");
  if (dump == std::string::npos) return;
  // Only option words count: "-p" inside another word ("--port", a host
  // name "db-prod") is not the password option, and masking that instead
  // would leave the real password in the log.
  static constexpr std::string_view long_option = "--password=";
  for (std::size_t pos = dump; pos < command.size(); ++pos) {
    if (!starts_word(command, pos)) continue;
    const std::string_view word = std::string_view(command).substr(pos);
    if (word.starts_with(long_option)) {
      star_word(command, pos + long_option.size());
    } else if (word.starts_with("-p") && pos + 2 < command.size()) {
      command[pos + 2] = '*';
      star_word(command, pos + 3);
    }
  }
}
