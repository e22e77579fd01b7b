# Sources of the crash reporter.
set(tray_crash_sources
  "${tray_dir}/crash/CrashReporter.cpp")
