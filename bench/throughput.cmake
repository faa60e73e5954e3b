# throughput_bench: the product against the line's ceiling in one run: image streaming, the EFS
# copy, CRC-16, and the peak memory of a process streaming a small and a large image.
if(TARGET fw_emulator)
  add_executable(throughput_bench ${CMAKE_CURRENT_LIST_DIR}/throughput_bench.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/line_peer.cpp)
  target_link_libraries(throughput_bench PRIVATE fw_copy fw_stream fw_emulator util)
  fwup_target_defaults(throughput_bench)
endif()
