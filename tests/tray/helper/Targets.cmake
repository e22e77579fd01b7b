# qdrltest.exe: the Wine tests' helper (service event, registry values, notices,
# dialogs), with the dialog framework for its demonstration wizard.
add_executable(qdrltest
  "${repo_dir}/tests/tray/helper/qdrltest.cpp"
  "${repo_dir}/tests/tray/helper/qdrltest.rc"
  "${repo_dir}/tests/tray/helper/WizardDemo.cpp"
  "${tray_dir}/Dialog.cpp"
  "${tray_dir}/Placement.cpp"
  "${tray_dir}/ProcessState.cpp"
  "${tray_dir}/Registry.cpp"
  "${tray_dir}/Service.cpp"
  "${tray_dir}/Version.cpp"
  "${tray_dir}/WizardFlow.cpp")
tray_windows_target(qdrltest)
target_link_libraries(qdrltest PRIVATE user32 gdi32 comctl32 shell32 advapi32 version)
