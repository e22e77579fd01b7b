# Sources of the network, data-file and update layers.
set(tray_update_sources
  "${tray_dir}/update/ErrorNumber.cpp"
  "${tray_dir}/update/ErrorText.cpp"
  "${tray_dir}/update/TlsLibrary.cpp"
  "${tray_dir}/update/UpdateCheck.cpp")
