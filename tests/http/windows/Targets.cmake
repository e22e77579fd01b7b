# qdrlhttptest.exe: fetches one URL with the program's HTTP client for the Wine tests
# (tests/tray/wine_http_*.sh) against scripted servers the scripts start on loopback.
add_executable(qdrlhttptest
  "${repo_dir}/tests/http/windows/qdrlhttptest.cpp"
  "${repo_dir}/tests/update/windows/NetTestMain.cpp"
  "${tray_dir}/update/HtClient.cpp"
  "${tray_dir}/update/HtForm.cpp"
  "${tray_dir}/update/HtHead.cpp"
  "${tray_dir}/update/Url.cpp"
  ${tray_update_network_sources})
tray_windows_target(qdrlhttptest)
target_include_directories(qdrlhttptest PRIVATE "${tray_dir}/update" "${repo_dir}/tests/update/windows")
target_link_libraries(qdrlhttptest PRIVATE tray_openssl tray_libidn ws2_32 crypt32)
target_link_options(qdrlhttptest PRIVATE -mconsole)
