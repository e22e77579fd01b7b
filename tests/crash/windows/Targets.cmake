# Windows test programs of the crash reporter's Wine tests: the stand-in upload
# library, the helper that makes the running program fail, and the library it loads
# into the program for the corrupted-stack failure.
add_library(tarnwick SHARED "${repo_dir}/tests/crash/windows/tarnwick.cpp")
tray_windows_target(tarnwick)
set_target_properties(tarnwick PROPERTIES PREFIX "")

add_library(cyclic_frames SHARED "${repo_dir}/tests/crash/windows/cyclic_frames.cpp")
tray_windows_target(cyclic_frames)
set_target_properties(cyclic_frames PROPERTIES PREFIX "")

add_executable(qdrlcrash "${repo_dir}/tests/crash/windows/qdrlcrash.cpp")
tray_windows_target(qdrlcrash)

# A stand-in "dbghelp.dll" that walks frames outside modules as the system's does.
add_library(dbghelp_standin SHARED "${repo_dir}/tests/crash/windows/dbghelp_standin.cpp"
  "${repo_dir}/tests/crash/windows/dbghelp_standin.def")
tray_windows_target(dbghelp_standin)
set_target_properties(dbghelp_standin PROPERTIES PREFIX "" OUTPUT_NAME dbghelp_standin)
