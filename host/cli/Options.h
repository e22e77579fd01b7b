// The command line of quadrel: a command, its operands and options in any order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Options {
  std::string command;
  std::vector<std::string> operands;
  int32_t volume = -1;  // -1: the container's default volume
  std::string snapshot;  // --snapshot: a snapshot's name or transaction; empty: the live volume
  // The password of encrypted volumes: from a file, from standard input, or given on the
  // command line (visible to other users: for tests and scripts).
  std::string passwordFile;
  bool passwordStdin = false;
  bool passwordGiven = false;
  std::string password;
  bool json = false;
  bool longFormat = false;  // ls -l
  bool recursive = false;   // ls -R
  bool all = false;         // ls -a
  bool help = false;
  bool version = false;  // --version
  bool foreground = false;  // mount -f
  bool debug = false;       // mount -d
  bool driver = false;      // mount --driver: served by the Windows driver on the kernel stand-in
  bool cdrom = false;       // mount --cdrom: the image attached as a CD-ROM for the driver
  std::vector<std::string> mountOptions;  // mount -o, comma lists kept as given
};

// Throws ReadFailure(Usage) on an unknown option or a bad value.
Options ParseOptions(int argc, char** argv);
// Checks the operand count and the options the command accepts.
void CheckOptions(const Options& options);
// Text of `quadrel --help` or `quadrel COMMAND --help`.
std::string HelpText(const std::string& command);
