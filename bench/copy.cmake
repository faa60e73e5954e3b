# copy_bench: the copy-to-device job against the emulated modem (a 4 MiB image, a tree of 200 small
# files) beside the round trip of one 512-byte exchange on the same pseudo-terminal.
if(TARGET fw_emulator)
  add_executable(copy_bench ${CMAKE_CURRENT_LIST_DIR}/copy_bench.cpp)
  target_link_libraries(copy_bench PRIVATE fw_copy fw_emulator benchmark::benchmark)
  fwup_target_defaults(copy_bench)
endif()
