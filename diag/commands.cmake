# DIAG commands and the mode probe.
target_sources(fw_diag PRIVATE ${CMAKE_CURRENT_LIST_DIR}/diag_commands.cpp)
