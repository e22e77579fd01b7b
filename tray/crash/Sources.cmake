# Sources of the crash reporter. ReportFormat.cpp is platform-free and also built
# natively for the unit tests (tests/crash).
set(tray_crash_sources
  "${tray_dir}/crash/CrashReporter.cpp"
  "${tray_dir}/crash/CrashSettings.cpp"
  "${tray_dir}/crash/ModuleList.cpp"
  "${tray_dir}/crash/ReportFile.cpp"
  "${tray_dir}/crash/ReportFormat.cpp"
  "${tray_dir}/crash/StackWalk.cpp")
