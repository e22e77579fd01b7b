# qdrlnettest.exe: drives the Windows socket, TLS and data-file classes for the Wine
# tests (tests/tray/wine_net_*.sh) against servers the scripts start on loopback.
add_executable(qdrlnettest
  "${repo_dir}/tests/update/windows/qdrlnettest.cpp"
  "${repo_dir}/tests/update/windows/NetTestMain.cpp"
  ${tray_update_network_sources})
tray_windows_target(qdrlnettest)
target_link_libraries(qdrlnettest PRIVATE tray_openssl tray_libidn ws2_32 crypt32)
target_link_options(qdrlnettest PRIVATE -mconsole)
include("${CMAKE_CURRENT_LIST_DIR}/UpdateTargets.cmake")
