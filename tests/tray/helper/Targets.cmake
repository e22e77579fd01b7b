# qdrltest.exe: the Wine tests' helper (service event, registry values, notices).
add_executable(qdrltest
  "${repo_dir}/tests/tray/helper/qdrltest.cpp"
  "${repo_dir}/tests/tray/helper/qdrltest.rc"
  "${tray_dir}/Registry.cpp"
  "${tray_dir}/Service.cpp"
  "${tray_dir}/Version.cpp")
tray_windows_target(qdrltest)
target_link_libraries(qdrltest PRIVATE user32 advapi32 version)
