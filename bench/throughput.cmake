# throughput_bench: the product against the line's ceiling in one run: image streaming, the EFS
# copy, CRC-16, the system calls per block, the peak memory of a process streaming a small and a
# large image, the program upgrading several emulated modems at once; with --road the whole road of
# a realistic package on the mocked USB bus.
if(TARGET fw_emulator AND TARGET fw_testbed)
  add_executable(throughput_bench ${CMAKE_CURRENT_LIST_DIR}/throughput_bench.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/line_peer.cpp ${CMAKE_CURRENT_LIST_DIR}/thread_counts.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/road.cpp ${CMAKE_CURRENT_LIST_DIR}/package_run.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/modems.cpp)
  target_link_libraries(throughput_bench PRIVATE fw_copy fw_stream fw_emulator fw_testbed util)
  # Every poll() of the process goes through the counting wrapper of thread_counts.cpp.
  target_link_options(throughput_bench PRIVATE -Wl,--wrap=poll)
  # The road and the modems run the program and make its package: both are built before it.
  add_dependencies(throughput_bench fwupgrade make_sample_package)
  fwup_target_defaults(throughput_bench)
endif()
