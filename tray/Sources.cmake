# Sources of the program's frame: start-up, dialog parents, the tray window, the
# registry and version reads, the dialog framework and About box, the pure rules.
set(tray_window_sources
  "${tray_dir}/About.cpp"
  "${tray_dir}/Decisions.cpp"
  "${tray_dir}/Dialog.cpp"
  "${tray_dir}/DlgParent.cpp"
  "${tray_dir}/Main.cpp"
  "${tray_dir}/Placement.cpp"
  "${tray_dir}/ProcessState.cpp"
  "${tray_dir}/Registry.cpp"
  "${tray_dir}/Service.cpp"
  "${tray_dir}/TrayWindow.cpp"
  "${tray_dir}/Version.cpp"
  "${tray_dir}/VersionInfo.cpp"
  "${tray_dir}/WizardFlow.cpp"
  "${tray_dir}/WorkerThread.cpp")
