# fw_base: settings file, download log, clock, progress interface. Every other library builds on it.
add_library(fw_base STATIC
  ${CMAKE_CURRENT_LIST_DIR}/log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reasons.cpp
  ${CMAKE_CURRENT_LIST_DIR}/documents_dir_${FWUP_PLATFORM}.cpp
  ${CMAKE_CURRENT_LIST_DIR}/program_folder_${FWUP_PLATFORM}.cpp)
target_include_directories(fw_base PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(fw_base PUBLIC Threads::Threads)
fwup_target_defaults(fw_base)
