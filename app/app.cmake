# fw_dialog_ids: the dialog's identifiers (res/resource.h), shared by the code and the Windows
# dialog resource.
add_library(fw_dialog_ids INTERFACE)
fwup_layer(fw_dialog_ids res)

# JSON for the history file and --history --json, from the system's nlohmann-json. It is
# header-only: the Windows cross build finds no package of it for mingw and takes the host's
# header, through a folder that holds nothing else (the host's /usr/include must stay out of a
# mingw build).
# Global: fw_app's users (the programs, the tests) link it too, from folders of their own.
find_package(nlohmann_json 3.2 QUIET)
if(nlohmann_json_FOUND)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES IMPORTED_GLOBAL TRUE)
else()
  find_path(FWUP_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH)
  if(NOT FWUP_JSON_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found (Debian: nlohmann-json3-dev)")
  endif()
  set(json_root ${CMAKE_BINARY_DIR}/include/nlohmann_json)
  file(MAKE_DIRECTORY ${json_root})
  file(CREATE_LINK ${FWUP_JSON_INCLUDE}/nlohmann ${json_root}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${json_root})
endif()

# fw_app: entry, worker, stages, start-up check, device return, console display; the fwupgrade program.
add_library(fw_app STATIC
  ${CMAKE_CURRENT_LIST_DIR}/session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upgrade.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/checked_mode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/version_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/copy_stage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/firmware_plan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_sums.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seal_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/check_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/list_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modem_choice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/udev_rule.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_folder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress_plan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_return.cpp
  ${CMAKE_CURRENT_LIST_DIR}/history.cpp
  ${CMAKE_CURRENT_LIST_DIR}/history_command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_documents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/all_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modem_rows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console_display.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_boxes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_shell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_${FWUP_PLATFORM}.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command_platform_${FWUP_PLATFORM}.cpp)
fwup_layer(fw_app app)
target_link_libraries(fw_app PUBLIC fw_copy fw_probe fw_diag fw_dload fw_stream fw_discovery fw_link fw_base
                      fw_dialog_ids Threads::Threads)
# Only the application reads and writes JSON; no library below it sees the header.
target_link_libraries(fw_app PRIVATE nlohmann_json::nlohmann_json)
# The log's first line names the version.
target_compile_definitions(fw_app PRIVATE FWUP_VERSION="${PROJECT_VERSION}")
fwup_target_defaults(fw_app)

# The program links the Qt dialog when the build has one, the Win32 dialog on Windows (app/qt and
# app/win32 are added after this file, so the choice is made when the build is generated), else a
# run_dialog that asks for a command line.
add_library(fw_program OBJECT ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_sources(fw_program PRIVATE
  $<$<NOT:$<OR:$<TARGET_EXISTS:fw_qtdialog>,$<TARGET_EXISTS:fw_windialog>>>:${CMAKE_CURRENT_LIST_DIR}/run_dialog_none.cpp>)
target_link_libraries(fw_program PUBLIC fw_app $<TARGET_NAME_IF_EXISTS:fw_qtdialog>)
target_compile_definitions(fw_program PRIVATE FWUP_VERSION="${PROJECT_VERSION}")
fwup_target_defaults(fw_program)

# Two programs from the same objects: fwupgrade, the one the .deb and the zip ship, whose waits
# last as long as they say; and fwupgrade_test_build, which also takes the clock's divisor from
# FWUP_TIME_DIVISOR, for the tests that run the program as a child and the scripts around them.
set(FWUP_PROGRAMS fwupgrade fwupgrade_test_build)
foreach(program ${FWUP_PROGRAMS})
  add_executable(${program})
  target_link_libraries(${program} PRIVATE fw_program)
  fwup_target_defaults(${program})
endforeach()
target_link_libraries(fwupgrade_test_build PRIVATE fw_divisor_from_environment)

# The sample firmware package of the demo and the end-to-end tests, and the demo's device side: the
# emulator on the mocked USB bus (Linux only), the program run against it.
if(NOT WIN32)
  add_executable(make_sample_package ${PROJECT_SOURCE_DIR}/tools/make_sample_package.cpp)
  # Test and demo tooling, not product: it sees the whole tree, as the tests do.
  target_include_directories(make_sample_package PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(make_sample_package PRIVATE fw_discovery)
  fwup_target_defaults(make_sample_package)

  add_executable(demo_device ${PROJECT_SOURCE_DIR}/tools/demo_device.cpp)
  target_include_directories(demo_device PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(demo_device PRIVATE fw_emulator fw_testbed fw_divisor_from_environment)
  fwup_target_defaults(demo_device)
endif()
