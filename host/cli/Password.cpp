#include "Password.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iostream>

#include "Failure.h"
#include "Unlock.h"

namespace {

// The first line, without its line end.
bool FirstLine(std::istream& in, std::string* line) {
  if (!std::getline(in, *line) && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Asks on the terminal with echo turned off.
bool AskOnTerminal(const std::string& volumeName, std::string* password) {
  std::fprintf(stderr, "Password for %s: ", volumeName.c_str());
  std::fflush(stderr);
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  password->clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') password->push_back(char(c));
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  return c != EOF || !password->empty();
}

}  // namespace

void TakePassword(const Options& o) {
  std::string password;
  if (!o.passwordFile.empty()) {
    std::ifstream file(o.passwordFile);
    if (!file || !FirstLine(file, &password)) {
      throw ReadFailure(ExitCode::Usage, errno != 0 ? errno : EINVAL,
                        "cannot read the password file " + o.passwordFile);
    }
  } else if (o.passwordStdin) {
    if (!FirstLine(std::cin, &password)) {
      throw ReadFailure(ExitCode::Usage, EINVAL, "--password-stdin: no password on standard input");
    }
  } else if (o.passwordGiven) {
    password = o.password;
  } else {
    if (isatty(STDIN_FILENO)) SetPasswordPrompt(AskOnTerminal);
    return;
  }
  SetVolumePassword(password);
  std::fill(password.begin(), password.end(), '\0');
}
