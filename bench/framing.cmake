# framing_bench: CRC-16, frame encoding and decoding on one streamed block and on 64 KiB.
add_executable(framing_bench ${CMAKE_CURRENT_LIST_DIR}/framing_bench.cpp)
target_link_libraries(framing_bench PRIVATE fw_link benchmark::benchmark)
fwup_target_defaults(framing_bench)
