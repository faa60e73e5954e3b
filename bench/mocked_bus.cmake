# mocked_bus_bench: image streaming and the EFS copy of one large file under umockdev's mocked USB
# bus, as the end-to-end tests and the demo run them.
if(TARGET fw_emulator AND TARGET fw_testbed)
  add_executable(mocked_bus_bench ${CMAKE_CURRENT_LIST_DIR}/mocked_bus_bench.cpp)
  target_link_libraries(mocked_bus_bench PRIVATE fw_copy fw_stream fw_emulator fw_testbed)
  fwup_target_defaults(mocked_bus_bench)
endif()
