# Sources of the network, data-file and update layers.
set(tray_update_sources
  "${tray_dir}/update/BlockingSocket.cpp"
  "${tray_dir}/update/CountedRef.cpp"
  "${tray_dir}/update/DiskFileWin.cpp"
  "${tray_dir}/update/ErrorNumber.cpp"
  "${tray_dir}/update/ErrorText.cpp"
  "${tray_dir}/update/Idna.cpp"
  "${tray_dir}/update/InstallerFile.cpp"
  "${tray_dir}/update/SafeDataFile.cpp"
  "${tray_dir}/update/SocketAddress.cpp"
  "${tray_dir}/update/SocketError.cpp"
  "${tray_dir}/update/SocketPrimitivesWin.cpp"
  "${tray_dir}/update/SslSocket.cpp"
  "${tray_dir}/update/SystemRootsWin.cpp"
  "${tray_dir}/update/TextCodes.cpp"
  "${tray_dir}/update/TlsLibrary.cpp"
  "${tray_dir}/update/UpdateCheck.cpp"
  "${tray_dir}/update/UpdateDescription.cpp"
  "${tray_dir}/update/UpdateRules.cpp"
  "${tray_dir}/update/UpdPages.cpp"
  "${tray_dir}/update/HtClient.cpp"
  "${tray_dir}/update/HtForm.cpp"
  "${tray_dir}/update/HtHead.cpp"
  "${tray_dir}/update/Url.cpp")

# The platform-free parts and the Windows socket and file classes, without the
# program's start-up and window code and without the HTTP client (the test programs
# that use it list it themselves), for the Windows test programs.
set(tray_update_network_sources ${tray_update_sources})
list(FILTER tray_update_network_sources EXCLUDE REGEX
  "/(ErrorText|InstallerFile|UpdateCheck|UpdPages|HtClient|HtForm|HtHead|Url)\\.cpp$")
list(APPEND tray_update_network_sources "${tray_dir}/Version.cpp")
