// Calls the socket and HTTP tests share: the error number a call raises, exact receives,
// whole files.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "update/ErrorNumber.h"

namespace qdrl::test {

// The error number a call raises; fails the test when it raises none.
template <class Call>
ErrorNumber RaisedBy(Call call) {
  try {
    call();
  } catch (ErrorNumber error) {
    return error;
  }
  ADD_FAILURE() << "no error raised";
  return 0xDEADBEEF;
}

template <class Socket>
std::string ReceiveExactly(Socket& socket, std::size_t n) {
  std::string data(n, '\0');
  for (std::size_t done = 0; done < n;) done += socket.Receive(data.data() + done, n - done);
  return data;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream data;
  data << in.rdbuf();
  return data.str();
}

}  // namespace qdrl::test
