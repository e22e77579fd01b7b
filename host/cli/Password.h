// The password of encrypted volumes, as the command line says to get it.
#pragma once

#include "Options.h"

// Reads the password from --password-file or standard input, or takes --password;
// without any of them, arranges for a prompt without echo when standard input is a
// terminal. Throws ReadFailure when the file cannot be read.
void TakePassword(const Options& options);
