# qdrlsetuptest.exe: the stand-in installer that the update wizard's Wine tests
# (tests/tray/wine_update_*.sh) serve for download; it records that it was run.
add_executable(qdrlsetuptest WIN32 "${repo_dir}/tests/update/windows/qdrlsetuptest.cpp")
tray_windows_target(qdrlsetuptest)
